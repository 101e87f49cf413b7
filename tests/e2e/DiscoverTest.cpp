// End to end: updater -D against lab modules in private network namespaces.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "LabNetwork.h"

using testsupport::LabNetwork;
using testsupport::RunResult;

namespace {

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
  EXPECT_EQ(r.err, "");
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
  EXPECT_EQ(r.err, "");
}

// Scans the network addresses but the router's own; each empty one costs the 1-second reply time-out.
TEST_F(DiscoverE2E, RouterScanListsItsNetworkInAddressOrderWhileRoutingIsOn) {
  ASSERT_GE(net.startLab({"modules", "--verbose", "--module", "serial=D272031D,model=24,port=9000,router=yes",
                          "--module", "serial=0000A00A,model=13,address=10,behind=D272031D,version=1.2.3,build=77",
                          "--module", "serial=0000A004,model=17,address=4,behind=D272031D,version=4.5.6,build=88"}),
            0)
      << net.error();
  RunResult r = net.runUpdater({"-D", "-r", "D272031D", "-t", "TCPIP"}, 200000);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::string expected = std::string("Searching for Kovalink Network devices connected to D272031D\n") +
                               "Discovered Devices: (TCPIP)\n" + kTcpHeader +
                               TcpLine("0000A004", 4, 2, "Holvex", "  4.5.6", 88, net.labAddress()) +
                               TcpLine("0000A00A", 10, 2, "Quessa", "  1.2.3", 77, net.labAddress());
  EXPECT_NE(r.out.find(expected), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "");

  // The router saw routing switched on before the first network request and off after the last.
  const std::string trace = net.labErrors(0);
  size_t on = trace.find(" 02 04 03 94 20 01");
  size_t first = trace.find(" 04 03 03 49 20");
  size_t last = trace.rfind(" FC 03 03 49 20");
  size_t off = trace.rfind(" 02 04 03 94 20 00");
  ASSERT_NE(on, std::string::npos) << trace;
  ASSERT_NE(first, std::string::npos) << trace;
  ASSERT_NE(last, std::string::npos) << trace;
  ASSERT_NE(off, std::string::npos) << trace;
  EXPECT_LT(on, first);
  EXPECT_LT(last, off);
}
