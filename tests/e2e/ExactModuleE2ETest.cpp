// An update reaches exactly the module the command line names: on the transport named, by
// identity after its reboot, one run at a time whatever the user, and behind a router by
// its own address. End to end against lab modules in private network namespaces.
#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BirdWriter.h"
#include "JsonSchemaCheck.h"
#include "LabNetwork.h"
#include "TestSupport.h"

using testsupport::LabNetwork;
using testsupport::RunResult;
using testsupport::TempDir;

namespace {

typedef std::vector<uint8_t> Bytes;

// Firmware that names its build; with offsets it is generic, else made for `serial` alone.
std::string WriteBird(const std::string& path, uint32_t build, const std::string& model, bool offsets,
                      uint32_t serial = 0) {
  Bytes image = birdwriter::RandomBytes(4096, 0xE4AC7);
  birdwriter::Block info = birdwriter::InfoBlock(build, "2.0.0", 0, model);
  std::copy(info.content.begin(), info.content.end(), image.begin() + 0x400);
  std::vector<birdwriter::Block> blocks;
  blocks.push_back(birdwriter::InfoBlock(build, "2.0.0", serial, model));
  blocks.push_back(birdwriter::AddressedBlock(birdwriter::kLoader, 0x20000000, birdwriter::RandomBytes(300, 3)));
  blocks.push_back(birdwriter::AddressedBlock(birdwriter::kFirmware, 0, image, 2));
  if (offsets) blocks.push_back(birdwriter::SerialOffsetsBlock(0x100, 0x200));
  Bytes bytes = birdwriter::EncodeFile(blocks);
  testsupport::WriteFile(path, std::string(bytes.begin(), bytes.end()));
  chmod(path.c_str(), 0644);
  return path;
}

std::string Row(const std::string& out, const std::string& serial) { return testsupport::FleetRow(out, serial); }

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

// A module that comes back from its reboot under another serial number at the same place
// is not the module updated: the fleet checks the return as a single -U does.
TEST(ExactModuleE2E, FleetTakesTheReturnForTheModuleOnlyByItsIdentity) {
  LabNetwork net;
  if (!net.ok()) GTEST_SKIP() << net.error();
  TempDir files;
  const std::string bird = WriteBird(files.file("2500.bird"), 2500, "Holvex", true);
  ASSERT_GE(net.startLab({"modules", "--module", "serial=0000A001,build=1100,port=9000,reboot-delay=200",
                          "--module", "serial=0000A002,build=1100,port=9001,reboot-delay=200,reboot-as=0000DEAD"}),
            0)
      << net.error();
  RunResult r = net.run("/usr/bin/env", {"UPDATER_RETURN_TIMEOUT=4", testsupport::BinPath("updater"), "-U", "-d",
                                         "0000A001,0000A002", "-t", "TCPIP", "-f", bird},
                        120000);
  EXPECT_EQ(1, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(Has(Row(r.out, "0000A001"), "1100 -> 2500")) << r.out;
  EXPECT_TRUE(Has(Row(r.out, "0000A001"), "updated")) << r.out;
  EXPECT_FALSE(Has(Row(r.out, "0000A002"), "updated")) << r.out;
  EXPECT_TRUE(Has(r.err, "Module [0000A002] did not come back within 4 s of its reboot")) << r.err;
  EXPECT_TRUE(Has(r.err, "1 of 2 modules updated")) << r.err;
  EXPECT_FALSE(Has(testsupport::ReadFile(net.storeDir() + "/updater/0000A002/.settings"), "LATEST_VERIFIED"));
}

// -t names the only transport looked on; the line before the transfer says where the module is.
TEST(ExactModuleE2E, TransportGivenIsTheOnlyOneSearchedAndThePlaceIsNamed) {
  LabNetwork net;
  if (!net.ok()) GTEST_SKIP() << net.error();
  TempDir files;
  const std::string bird = WriteBird(files.file("2500.bird"), 2500, "Holvex", true);
  ASSERT_GE(net.startLab({"modules", "--module", "serial=0000BEEF,build=1100,port=9000,reboot-delay=200"}), 0)
      << net.error();
  RunResult usb = net.runUpdater({"-U", "-d", "0000BEEF", "-t", "USB", "-f", bird});
  EXPECT_EQ(1, usb.exitCode) << usb.out << usb.err;
  EXPECT_TRUE(Has(usb.err, "Failed to connect to module [0000BEEF]: not found over USB; check it with -D -t USB"))
      << usb.err;
  EXPECT_FALSE(Has(usb.out, "Transferring")) << usb.out;
  RunResult fleet = net.runUpdater({"-U", "-d", "0000BEEF,0000BEE2", "-t", "USB", "-f", bird});
  EXPECT_EQ(1, fleet.exitCode);
  EXPECT_FALSE(Has(fleet.out, "Transferring")) << fleet.out;

  RunResult tcp = net.runUpdater({"-U", "-d", "0000BEEF", "-t", "TCPIP", "-f", bird}, 60000);
  ASSERT_EQ(0, tcp.exitCode) << tcp.out << tcp.err;
  const size_t place = tcp.out.find("Module 0000BEEF at " + net.labAddress() + ":9000\n");
  EXPECT_NE(std::string::npos, place) << tcp.out;
  EXPECT_LT(place, tcp.out.find("Transferring loader")) << tcp.out;
}

// Two users update one module at the same time: the second waits for the first, names it,
// and gives up at its bound without touching the module.
TEST(ExactModuleE2E, ASecondUserWaitsForTheModuleAndIsToldWhoHoldsIt) {
  LabNetwork net;
  if (!net.ok()) GTEST_SKIP() << net.error();
  struct passwd* other = getpwnam("backup");
  if (!other || !other->pw_dir) GTEST_SKIP() << "no user 'backup' to run the second updater as";
  TempDir files, otherHome;
  chmod(files.path().c_str(), 0755);
  chmod(otherHome.path().c_str(), 0777);
  const std::string bird = WriteBird(files.file("2500.bird"), 2500, "Holvex", true);
  ASSERT_GE(net.startLab({"modules", "--module", "serial=0000A002,build=1100,port=9000,reboot-delay=4000"}), 0)
      << net.error();

  RunResult first;
  std::thread root([&] { first = net.runUpdater({"-U", "-d", "0000A002", "-t", "TCPIP", "-f", bird}, 60000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  // The other user has a store of its own: its home, in this run's mount namespace only.
  const std::string script = "mount --bind \"$1\" \"$2\" && exec setpriv --reuid=backup --regid=backup "
                             "--clear-groups env UPDATER_LOCK_WAIT_SECONDS=1 \"$3\" -U -d 0000A002 -t TCPIP -f \"$4\"";
  RunResult second = net.run("/bin/sh", {"-c", script, "sh", otherHome.path(), other->pw_dir,
                                         testsupport::BinPath("updater"), bird});
  root.join();
  EXPECT_EQ(1, second.exitCode) << second.out << second.err;
  EXPECT_TRUE(Has(second.out, "Module 0000A002 is being updated by process ")) << second.out;
  EXPECT_TRUE(Has(second.out, " of user root (updater -U -d 0000A002 -t TCPIP -f ")) << second.out;
  EXPECT_TRUE(Has(second.err, "Module 0000A002 is still being updated by process ")) << second.err;
  EXPECT_TRUE(Has(second.err, "gave up after 1 seconds")) << second.err;
  EXPECT_FALSE(Has(second.out, "Transferring")) << second.out;
  EXPECT_EQ(0, first.exitCode) << first.out << first.err;
  EXPECT_TRUE(Has(first.out, "Module 0000A002 now runs 2.0.0 (build 2500)")) << first.out;
}

// Two discoveries on one host at once: the second waits for the reply port, and both list the module.
TEST(ExactModuleE2E, TwoDiscoveriesOnOneHostBothFindTheModule) {
  LabNetwork net;
  if (!net.ok()) GTEST_SKIP() << net.error();
  ASSERT_GE(net.startLab({"modules", "--module", "serial=0000BEEF,build=1100,port=9000"}), 0) << net.error();
  RunResult one, two;
  std::thread a([&] { one = net.runUpdater({"-D", "-t", "TCPIP"}); });
  std::thread b([&] { two = net.runUpdater({"-D", "-t", "TCPIP"}); });
  a.join();
  b.join();
  for (const RunResult* r : {&one, &two}) {
    EXPECT_EQ(0, r->exitCode) << r->out << r->err;
    EXPECT_TRUE(Has(r->out, "    0000BEEF  02")) << r->out << r->err;
    EXPECT_FALSE(Has(r->out, "No modules found")) << r->out;
  }
  EXPECT_TRUE(Has(one.err + two.err, "UDP port 9889 is in use by another discovery on this host; waiting"))
      << one.err << two.err;
}

// Behind a router, -d all updates the router's network and a list finds each address itself;
// each row holds its own module's data.
TEST(ExactModuleE2E, FleetBehindARouterFindsEachModulesAddress) {
  LabNetwork net;
  if (!net.ok()) GTEST_SKIP() << net.error();
  TempDir files;
  const std::string bird = WriteBird(files.file("2500.bird"), 2500, "Holvex", true);
  ASSERT_GE(net.startLab({"modules", "--module", "serial=0000D00D,model=24,port=9000,router=yes", "--module",
                          "serial=00000B04,address=4,behind=0000D00D,build=1104,reboot-delay=100", "--module",
                          "serial=00000B0A,address=10,behind=0000D00D,build=1110,reboot-delay=100", "--module",
                          "serial=0000C001,port=9001,build=1001"}),
            0)
      << net.error();
  RunResult m = net.runUpdater({"-U", "-d", "00000B04,00000B0A", "-r", "0000D00D", "-m", "04", "-f", bird});
  EXPECT_EQ(1, m.exitCode);
  EXPECT_TRUE(Has(m.err, "-m is the address of one module: give it with one -d")) << m.err;

  RunResult all = net.runUpdater({"-U", "-d", "all", "-r", "0000D00D", "-t", "TCPIP", "-f", bird}, 120000);
  ASSERT_EQ(0, all.exitCode) << all.out << all.err;
  EXPECT_TRUE(Has(Row(all.out, "00000B04"), "1104 -> 2500")) << all.out;
  EXPECT_TRUE(Has(Row(all.out, "00000B0A"), "1110 -> 2500")) << all.out;
  EXPECT_EQ("", Row(all.out, "0000C001")) << all.out;
  EXPECT_TRUE(Has(all.out, "Module 00000B0A behind router 0000D00D at address 0A")) << all.out;
  EXPECT_TRUE(Has(all.out, "2 of 2 modules updated")) << all.out;

  const std::string next = WriteBird(files.file("2600.bird"), 2600, "Holvex", true);
  RunResult listed = net.runUpdater({"-U", "-d", "00000B0A,00000B04", "-r", "0000D00D", "-f", next}, 120000);
  ASSERT_EQ(0, listed.exitCode) << listed.out << listed.err;
  EXPECT_TRUE(Has(Row(listed.out, "00000B04"), "2500 -> 2600")) << listed.out;
  EXPECT_TRUE(Has(Row(listed.out, "00000B0A"), "2500 -> 2600")) << listed.out;
  EXPECT_TRUE(Has(listed.out, "Module 00000B04 behind router 0000D00D at address 04")) << listed.out;
}

// -C and -U judge a file alike and say why they refuse it, also in --json.
TEST(ExactModuleE2E, CheckAndUpdateRefuseAFileForTheSameReason) {
  LabNetwork net;
  if (!net.ok()) GTEST_SKIP() << net.error();
  TempDir files;
  const std::string serialZero = WriteBird(files.file("zero.bird"), 2500, "Holvex", false, 0);
  const std::string generic = WriteBird(files.file("generic.bird"), 2500, "Holvex", true);
  const std::string refusal = "Birdfile failed validation: made for module 00000000, not 0000A001\n";

  RunResult check = net.runUpdater({"-C", "-f", serialZero});
  EXPECT_EQ(0, check.exitCode) << check.err;
  EXPECT_TRUE(Has(check.out, "An update would accept this file if the module fits: made for module 00000000 only; "
                             "-U accepts it for that module alone\n"))
      << check.out;
  check = net.runUpdater({"-C", "-f", generic});
  EXPECT_TRUE(Has(check.out, "if the module fits: generic: any module of model Holvex\n")) << check.out;
  for (bool override : {false, true}) {
    std::vector<std::string> args = {"-C", "-d", "0000A001", "-f", serialZero};
    if (override) args.push_back("-OVERRIDE");
    check = net.runUpdater(args);
    EXPECT_EQ(1, check.exitCode);
    EXPECT_TRUE(Has(check.err, refusal)) << check.err;
  }

  ASSERT_GE(net.startLab({"modules", "--module", "serial=0000A001,model=13,build=1100,port=9000"}), 0) << net.error();
  RunResult update = net.runUpdater({"-U", "-d", "0000A001", "-f", serialZero, "-OVERRIDE"});
  EXPECT_EQ(1, update.exitCode);
  EXPECT_TRUE(Has(update.err, refusal)) << update.err;
  update = net.runUpdater({"-U", "-d", "0000A001", "-t", "TCPIP", "-f", generic});
  EXPECT_EQ(1, update.exitCode);
  EXPECT_TRUE(Has(update.err, "Birdfile failed validation: model Holvex, the module is a Quessa\n")) << update.err;
  RunResult json = net.runUpdater({"--json", "-U", "-d", "0000A001", "-t", "TCPIP", "-f", generic});
  EXPECT_EQ(1, json.exitCode);
  EXPECT_TRUE(Has(json.out, "Birdfile failed validation: model Holvex, the module is a Quessa\"")) << json.out;
  const nlohmann::json schema = nlohmann::json::parse(testsupport::ReadFile(testsupport::SourcePath("packaging/updater-result.schema.json")));
  EXPECT_EQ(jsonschema::DocumentProblems(schema, json.out), std::vector<std::string>()) << json.out;
  // -C says the same refusal as its verdict's reason.
  RunResult checked = net.runUpdater({"--json", "-C", "-d", "0000A001", "-f", serialZero});
  EXPECT_EQ(1, checked.exitCode);
  EXPECT_EQ(jsonschema::DocumentProblems(schema, checked.out), std::vector<std::string>()) << checked.out;
  EXPECT_TRUE(Has(checked.out, "\"reason\": \"" + refusal.substr(0, refusal.size() - 1) + "\"")) << checked.out;
}
