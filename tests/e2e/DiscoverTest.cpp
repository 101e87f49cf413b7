// End to end: updater -D against lab modules in private network namespaces.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "BirdWriter.h"
#include "LabNetwork.h"
#include "TestSupport.h"

using testsupport::LabNetwork;
using testsupport::RunResult;

namespace {

const std::string kBannerLine = "Updater (Version: 1.1 Jan 21 2023)\n";

const char kTcpHeader[] = "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]\n";

std::string TcpLine(const char* serial, int module, int router, const char* model, const char* version, unsigned build,
                    const std::string& ip) {
  char line[160];
  snprintf(line, sizeof(line), "    %s  %02X       %02X      %-12s %s (%u) [%s]\n", serial, module, router, model,
           version, build, ip.c_str());
  return line;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

class DiscoverE2E : public ::testing::Test {
protected:
  void SetUp() override {
    if (!net.ok())
      GTEST_SKIP() << net.error();
  }
  LabNetwork net;
};

}  // namespace

TEST_F(DiscoverE2E, TcpipListsEveryModuleAndMarksTheOneThatRefusesItsLink) {
  ASSERT_GE(net.startLab({"modules", "--module", "serial=0000BEEF,model=17,address=4,port=9000,version=2.1.26,build=1234",
                          "--module", "serial=40F5849A,model=13,address=6,port=9002,version=3.0.7,build=99528558",
                          "--module", "serial=0BADC0DE,model=5,port=9004,fault=refuse-link"}),
            0)
      << net.error();
  RunResult r = net.runUpdater({"-D", "-t", "TCPIP"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Searching for Kovalink devices\nDiscovered Devices: (TCPIP)\n"), std::string::npos) << r.out;
  EXPECT_EQ(Count(r.out, kTcpHeader), 1u) << r.out;
  EXPECT_EQ(Count(r.out, TcpLine("0000BEEF", 4, 4, "Holvex", "  2.1.26", 1234, net.labAddress())), 1u) << r.out;
  EXPECT_EQ(Count(r.out, TcpLine("40F5849A", 6, 6, "Quessa", "  3.0.7", 99528558, net.labAddress())), 1u) << r.out;
  EXPECT_EQ(Count(r.out, "    0BADC0DE  [Error (25): Is someone else connected to this device?]\n"), 1u) << r.out;
  EXPECT_EQ(r.err, kBannerLine);  // piped: the banner goes to stderr
}

TEST_F(DiscoverE2E, PlainDiscoverSearchesUsbOnly) {
  ASSERT_GE(net.startLab({"modules", "--module", "serial=0000BEEF,port=9000"}), 0) << net.error();
  auto start = std::chrono::steady_clock::now();
  RunResult r = net.runUpdater({"-D"});
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("Discovered Devices: (USB)\n    No devices found.\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("0000BEEF"), std::string::npos) << r.out;
  // A TCP/IP search would wait out its 2-second receive time-out.
  EXPECT_LT(ms, 1800);
}

TEST_F(DiscoverE2E, UnknownRouterGivesAnEmptyListWithoutError) {
  ASSERT_GE(net.startLab({"modules", "--module", "serial=D272031D,port=9000,router=yes"}), 0) << net.error();
  RunResult r = net.runUpdater({"-D", "-r", "12345678", "-t", "TCPIP"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("Searching for Kovalink Network devices connected to 12345678\n"
                       "Discovered Devices: (TCPIP)\n    No devices found.\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.err, kBannerLine);  // piped: the banner goes to stderr
}

// The router answers nothing for an empty address, so the scan must not wait out the
// 126 addresses one after another.
TEST_F(DiscoverE2E, RouterScanListsItsNetworkInAddressOrderQuicklyWhileRoutingIsOn) {
  ASSERT_GE(net.startLab({"modules", "--verbose", "--module", "serial=D272031D,model=24,port=9000,router=yes",
                          "--module", "serial=0000A00A,model=13,address=10,behind=D272031D,version=1.2.3,build=77",
                          "--module", "serial=0000A004,model=17,address=4,behind=D272031D,version=4.5.6,build=88",
                          "--module", "serial=0000A0FC,model=17,address=252,behind=D272031D,version=1.0.0,build=5"}),
            0)
      << net.error();
  auto start = std::chrono::steady_clock::now();
  RunResult r = net.runUpdater({"-D", "-r", "D272031D", "-t", "TCPIP"}, 60000);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::string expected = std::string("Searching for Kovalink Network devices connected to D272031D\n") +
                               "Discovered Devices: (TCPIP)\n" + kTcpHeader +
                               TcpLine("0000A004", 4, 2, "Holvex", "  4.5.6", 88, net.labAddress()) +
                               TcpLine("0000A00A", 10, 2, "Quessa", "  1.2.3", 77, net.labAddress()) +
                               TcpLine("0000A0FC", 252, 2, "Holvex", "  1.0.0", 5, net.labAddress());
  EXPECT_NE(r.out.find(expected), std::string::npos) << r.out;
  EXPECT_EQ(r.err, kBannerLine);  // piped: the banner goes to stderr
  // Two rounds of silent addresses at most; one after another they took two minutes.
  EXPECT_LT(ms, 6000);

  // Routing was switched on before the first network request and off after the last,
  // and every network address but the router's own was asked exactly once.
  const std::string trace = net.labErrors(0);
  size_t on = trace.find(" 02 04 03 94 20 01");
  size_t off = trace.rfind(" 02 04 03 94 20 00");
  ASSERT_NE(on, std::string::npos) << trace;
  ASSERT_NE(off, std::string::npos) << trace;
  for (int address = 4; address <= 252; address += 2) {
    char request[32];
    snprintf(request, sizeof(request), " %02X 03 03 49 20", address);
    size_t at = trace.find(request);
    ASSERT_NE(at, std::string::npos) << request;
    EXPECT_EQ(Count(trace, request), 1u) << request;
    EXPECT_LT(on, at) << request;
    EXPECT_LT(trace.rfind(request), off) << request;
  }
  EXPECT_EQ(Count(trace, " 02 03 03 49 20"), 0u) << "the router's own address is not part of its network";
}

// A router that says at once that an address is empty ends the scan in one round trip
// per address, and its error replies must not be taken for modules.
TEST_F(DiscoverE2E, RouterThatAnswersForEmptyAddressesListsOnlyItsModules) {
  ASSERT_GE(net.startLab({"modules", "--module", "serial=D272031D,model=24,port=9000,router=yes,answer-absent=yes",
                          "--module", "serial=0000A00A,model=13,address=10,behind=D272031D,version=1.2.3,build=77"}),
            0)
      << net.error();
  auto start = std::chrono::steady_clock::now();
  RunResult r = net.runUpdater({"-D", "-r", "D272031D"});
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(r.exitCode, 0) << r.err;
  // Without -t the router's transport is found first, and the heading names it.
  const std::string expected = std::string("Discovered Devices: (TCPIP)\n") + kTcpHeader +
                               TcpLine("0000A00A", 10, 2, "Quessa", "  1.2.3", 77, net.labAddress());
  ASSERT_GE(r.out.size(), expected.size()) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - expected.size()), expected);
  // Waiting out the silent-address time-out would take two rounds of a second.
  EXPECT_LT(ms, 2000);
}

namespace {

// A BIRD file of a loader and 2 KB of firmware for `serial`, carrying build 500.
std::string WriteNetworkBird(const std::string& path, uint32_t serial) {
  std::vector<birdwriter::Block> blocks;
  blocks.push_back(birdwriter::InfoBlock(500, "1.3.0", serial, "Quessa"));
  blocks.push_back(birdwriter::AddressedBlock(birdwriter::kLoader, 0x20000000, birdwriter::RandomBytes(300, 7)));
  std::vector<uint8_t> image = birdwriter::RandomBytes(2048, 11);
  birdwriter::Block info = birdwriter::InfoBlock(500, "1.3.0", 0, "Quessa");
  std::copy(info.content.begin(), info.content.end(), image.begin() + 0x400);
  blocks.push_back(birdwriter::AddressedBlock(birdwriter::kFirmware, 0, image, 2));
  std::vector<uint8_t> bytes = birdwriter::EncodeFile(blocks);
  testsupport::WriteFile(path, std::string(bytes.begin(), bytes.end()));
  return path;
}

}  // namespace

TEST_F(DiscoverE2E, UpdateReachesExactlyTheModuleNamedBehindTheRouter) {
  ASSERT_GE(net.startLab({"modules", "--module", "serial=D272031D,model=24,port=9000,router=yes", "--module",
                          "serial=0000A00A,model=13,address=10,behind=D272031D,version=1.2.3,build=77,reboot-delay=100",
                          "--module", "serial=0000A004,model=13,address=4,behind=D272031D,version=4.5.6,build=88"}),
            0)
      << net.error();
  testsupport::TempDir dir;
  std::string bird = WriteNetworkBird(dir.file("500.bird"), 0x0000A00A);

  // -m takes the address as the listing shows it: 10 is address 0x10, where nobody answers.
  RunResult silent = net.runUpdater({"-U", "-d", "0000A00A", "-r", "D272031D", "-m", "10", "-f", bird});
  EXPECT_EQ(silent.exitCode, 1);
  EXPECT_NE(silent.err.find("Birdfile failed validation: module 10 does not answer behind router D272031D\n"),
            std::string::npos)
      << silent.err;
  RunResult odd = net.runUpdater({"-U", "-d", "0000A00A", "-r", "D272031D", "-m", "11", "-f", bird});
  EXPECT_EQ(odd.exitCode, 1);
  EXPECT_NE(odd.err.find("Invalid module address obtained from argument [11]"), std::string::npos) << odd.err;
  // The address of another module is refused before a frame of the update, -OVERRIDE or not.
  for (bool override : {false, true}) {
    std::vector<std::string> args = {"-U", "-d", "0000A00A", "-r", "D272031D", "-m", "04", "-f", bird};
    if (override) args.push_back("-OVERRIDE");
    RunResult other = net.runUpdater(args);
    EXPECT_EQ(other.exitCode, 1) << other.out << other.err;
    EXPECT_NE(other.err.find("Birdfile failed validation: address 04 behind router D272031D holds module 0000A004, "
                             "not 0000A00A\n"),
              std::string::npos)
        << other.err;
    EXPECT_EQ(other.out.find("Transferring"), std::string::npos) << other.out;
  }

  RunResult r = net.runUpdater({"-U", "-d", "0000A00A", "-r", "D272031D", "-m", "0A", "-f", bird}, 60000);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Module 0000A00A behind router D272031D at address 0A\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Update time:"), std::string::npos) << r.out;
  // Without -m the router's network is searched for the serial number.
  r = net.runUpdater({"-U", "-d", "0000A00A", "-r", "D272031D", "-f", bird}, 60000);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Module 0000A00A behind router D272031D at address 0A\n"), std::string::npos) << r.out;

  // Once back from its reboot, the module at 10 is listed with the new build, its
  // neighbour with the old one.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  RunResult listed = net.runUpdater({"-D", "-r", "D272031D", "-t", "TCPIP"});
  EXPECT_NE(listed.out.find(TcpLine("0000A00A", 10, 2, "Quessa", "  1.3.0", 500, net.labAddress())),
            std::string::npos)
      << listed.out;
  EXPECT_NE(listed.out.find(TcpLine("0000A004", 4, 2, "Quessa", "  4.5.6", 88, net.labAddress())),
            std::string::npos)
      << listed.out;
}

// Ctrl-C during the 2-second TCP/IP wait ends the search there: no listing, no
// module opened, and the run's code is the signal's. Behind a router that is not
// there the search waits just as long.
TEST_F(DiscoverE2E, InterruptEndsTheSearchAtOnceWithoutAListing) {
  ASSERT_GE(net.startLab({"modules", "--module", "serial=0000BEEF,port=9000", "--module",
                          "serial=D272031D,port=9002,router=yes"}),
            0)
      << net.error();
  for (const std::string search : {"-D -t TCPIP", "-D -r 12345678 -t TCPIP", "-U -d all -t TCPIP"}) {
    SCOPED_TRACE(search);
    auto start = std::chrono::steady_clock::now();
    RunResult r = net.run("/usr/bin/env", {"U=" + testsupport::BinPath("updater"), "bash", "-c",
                                           "timeout --preserve-status -s INT 0.3 \"$U\" " + search});
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.exitCode, 130) << r.out << r.err;
    EXPECT_EQ(r.out.find("Discovered Devices"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("0000BEEF"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("No modules found"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, kBannerLine);
    // Well inside the 2-second wait it would otherwise sit out.
    EXPECT_LT(ms, 1200);
  }
}
