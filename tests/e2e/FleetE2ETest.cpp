// -U for several modules at once, end to end against lab modules in private network namespaces.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "GenericBird.h"
#include "LabNetwork.h"
#include "TestSupport.h"

using testsupport::LabNetwork;
using testsupport::RunResult;
using testsupport::TempDir;

namespace {

typedef std::vector<uint8_t> Bytes;

// Firmware that carries its own information block, so a module runs the build it was sent.
std::string WriteFleetBird(const TempDir& dir, uint32_t build) {
  return birdtest::WriteGenericBird(dir, build, "2.0.0", 8192, 0xF1EE7);
}

std::string Row(const std::string& out, const std::string& serial) { return testsupport::FleetRow(out, serial); }

double RowSeconds(const std::string& row) {
  double seconds = 0;
  size_t at = row.find(" s  ");
  size_t begin = row.rfind(' ', at - 1);
  if (at != std::string::npos && begin != std::string::npos) sscanf(row.c_str() + begin, "%lf", &seconds);
  return seconds;
}

// A module slow to reboot makes the time spent side by side stand out from the discovery's.
std::string ModuleSpec(const std::string& serial, int port, const std::string& extra = "", int rebootMs = 200) {
  return "serial=" + serial + ",model=17,build=1100,port=" + std::to_string(port) +
         ",reboot-delay=" + std::to_string(rebootMs) + extra;
}

}  // namespace

// Five modules in one run: two succeed, one drops its link mid-transfer, one comes back
// with the old build, one is of another model. Each gets its own result; the others are untouched.
TEST(FleetE2E, EachModuleGetsItsOwnResultAndOneFailureFailsTheRun) {
  LabNetwork net;
  if (!net.ok()) GTEST_SKIP() << net.error();
  TempDir files, dumps;
  const std::string bird = WriteFleetBird(files, 2500);
  ASSERT_GE(net.startLab({"modules", "--dump-dir", dumps.path(),
                          "--module", ModuleSpec("0000A001", 9000, "", 2000),
                          "--module", ModuleSpec("0000A002", 9001, ",fault=drop:data@150"),
                          "--module", ModuleSpec("0000A003", 9002, ",fault=old-build", 2000),
                          "--module", ModuleSpec("0000A004", 9003, "", 2000),
                          "--module", "serial=0000A005,model=13,build=700,port=9004"}),
            0)
      << net.error();

  auto start = std::chrono::steady_clock::now();
  RunResult r = net.runUpdater({"-U", "-d", "0000A001,0000A002,0000A003", "-d", "0000A004", "-d", "0000A005",
                                "-t", "TCPIP", "-f", bird}, 120000);
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(1, r.exitCode) << r.out << r.err;

  const std::string good1 = Row(r.out, "0000A001"), good2 = Row(r.out, "0000A004");
  EXPECT_NE(std::string::npos, good1.find("Holvex         1100 -> 2500")) << r.out;
  EXPECT_NE(std::string::npos, good1.find("updated")) << good1;
  EXPECT_NE(std::string::npos, good2.find("1100 -> 2500")) << r.out;
  EXPECT_NE(std::string::npos, good2.find("updated")) << good2;
  EXPECT_NE(std::string::npos, Row(r.out, "0000A002").find("1100 -> -")) << r.out;
  EXPECT_NE(std::string::npos, Row(r.out, "0000A002").find("FAILED: Firmware update of module [0000A002] failed"))
      << r.out;
  EXPECT_NE(std::string::npos, Row(r.out, "0000A003").find("1100 -> 1100")) << r.out;
  EXPECT_NE(std::string::npos, Row(r.out, "0000A003").find("not the transferred build 2500")) << r.out;
  EXPECT_NE(std::string::npos, Row(r.out, "0000A005").find("Quessa")) << r.out;
  EXPECT_NE(std::string::npos,
            Row(r.out, "0000A005").find("FAILED: Birdfile failed validation: model Holvex, the module is a Quessa"))
      << r.out;
  EXPECT_NE(std::string::npos, r.err.find("2 of 5 modules updated")) << r.err;
  // Errors name their module.
  EXPECT_NE(std::string::npos, r.err.find("0000A005: Birdfile failed validation: model Holvex, the module is a Quessa"))
      << r.err;

  // Side by side: the run takes far less than the modules' times added up.
  const double sum = RowSeconds(good1) + RowSeconds(good2) + RowSeconds(Row(r.out, "0000A003"));
  EXPECT_GT(RowSeconds(good1), 2.0) << good1;
  EXPECT_LT(wall, 0.8 * sum) << "wall " << wall << " s against " << sum << " s of updates\n" << r.out;

  // Each good module holds the image with its own serial number, not a neighbour's.
  for (const char* serial : {"0000A001", "0000A004"}) {
    std::string image = testsupport::ReadFile(dumps.file(std::string(serial) + ".bin"));
    ASSERT_GT(image.size(), 0x210u) << serial;
    EXPECT_EQ(std::string(1, serial[7]), image.substr(0x200 + 14, 1)) << serial;
    EXPECT_EQ(std::string(1, serial[6]), image.substr(0x200 + 12, 1)) << serial;
  }
  EXPECT_EQ("", testsupport::ReadFile(dumps.file("0000A005.bin")));
}

// -d all discovers, lists what it will update, and updates every module it found.
TEST(FleetE2E, AllUpdatesEveryDiscoveredModuleAndNeedsATransport) {
  LabNetwork net;
  if (!net.ok()) GTEST_SKIP() << net.error();
  TempDir files;
  const std::string bird = WriteFleetBird(files, 2600);

  RunResult r = net.runUpdater({"-U", "-d", "all", "-f", bird});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_NE(std::string::npos, r.err.find("-d all needs the transport to search: -t USB or -t TCPIP")) << r.err;
  r = net.runUpdater({"-B", "-d", "0000B001,0000B002"});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_NE(std::string::npos, r.err.find("Several modules (-d) can only be updated together (-U)")) << r.err;

  ASSERT_GE(net.startLab({"modules", "--module", ModuleSpec("0000B001", 9000), "--module",
                          ModuleSpec("0000B002", 9001), "--module", ModuleSpec("0000B003", 9002)}),
            0)
      << net.error();
  r = net.runUpdater({"-U", "-d", "all", "-t", "TCPIP", "-j", "2", "-f", bird}, 120000);
  ASSERT_EQ(0, r.exitCode) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find("Updating 3 modules, up to 2 at a time")) << r.out;
  for (const char* serial : {"0000B001", "0000B002", "0000B003"}) {
    EXPECT_NE(std::string::npos, r.out.find(std::string("    ") + serial)) << "not listed: " << serial << "\n" << r.out;
    EXPECT_NE(std::string::npos, Row(r.out, serial).find("1100 -> 2600")) << r.out;
    EXPECT_NE(std::string::npos, Row(r.out, serial).find("updated")) << r.out;
  }
  EXPECT_NE(std::string::npos, r.out.find("3 of 3 modules updated")) << r.out;
}
