// The updater-lab modules program in private namespaces: listing, discovery
// replies on the wire, links over the veth pair, clean stop on signals.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

#include "LabNetwork.h"
#include "LabTestClient.h"

namespace {

using labtest::Frame;
using labtest::RawClient;
using Bytes = std::vector<uint8_t>;

// Sends one discovery request out of `interfaceAddress` and collects the
// replies (with their senders) that reach UDP 9889 within the time-out.
std::vector<std::pair<Bytes, std::string>> Discover(const std::string& interfaceAddress, int timeoutMs) {
  std::vector<std::pair<Bytes, std::string>> replies;
  int listener = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in local = {};
  local.sin_family = AF_INET;
  local.sin_port = htons(9889);
  EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof(local)), 0);
  struct in_addr out;
  inet_pton(AF_INET, interfaceAddress.c_str(), &out);
  EXPECT_EQ(setsockopt(sender, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof(out)), 0);
  struct sockaddr_in group = {};
  group.sin_family = AF_INET;
  group.sin_port = htons(9888);
  inet_pton(AF_INET, "232.2.2.2", &group.sin_addr);
  Bytes request(16, 0);
  request[0] = 0x01;
  EXPECT_EQ(sendto(sender, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&group), sizeof(group)),
            16);
  struct pollfd p = {listener, POLLIN, 0};
  while (poll(&p, 1, timeoutMs) > 0) {
    uint8_t buffer[64];
    struct sockaddr_in from = {};
    socklen_t length = sizeof(from);
    ssize_t n = recvfrom(listener, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0)
      break;
    char text[INET_ADDRSTRLEN];
    replies.push_back({Bytes(buffer, buffer + n), inet_ntop(AF_INET, &from.sin_addr, text, sizeof(text))});
  }
  close(listener);
  close(sender);
  return replies;
}

TEST(LabModulesMain, HelpAndBadArguments) {
  testsupport::LabNetwork net;
  if (!net.ok())
    GTEST_SKIP() << net.error();
  std::string lab = testsupport::BinPath("updater-lab");
  testsupport::RunResult help = net.run(lab, {"modules", "--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("usage: updater-lab modules"), std::string::npos);
  EXPECT_NE(help.out.find("fault=KIND"), std::string::npos);
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"modules"}, {"modules", "--module", "serial=1"}, {"modules", "--module"},
        {"modules", "--frobnicate"}, {"modules", "--module", "serial=1,port=9000,fault=explode"}}) {
    testsupport::RunResult r = net.run(lab, bad, 5000);
    EXPECT_EQ(r.exitCode, 2) << bad.back();
    EXPECT_NE(r.err.find("updater-lab modules: "), std::string::npos) << r.err;
  }
}

TEST(LabModulesMain, ServesDiscoveryAndLinksUntilSignalled) {
  testsupport::LabNetwork net;
  if (!net.ok())
    GTEST_SKIP() << net.error();
  testsupport::TempDir dir;
  ASSERT_TRUE(testsupport::WriteFile(dir.file("lab.conf"), "# hidden from discovery\n"
                                                           "serial=0000CAFE address=8 port=9001 fault=no-discovery\n"));
  int first = net.startLab({"modules", "--module", "serial=0000BEEF,model=17,address=4,port=9000,hb=0", "--config",
                            dir.file("lab.conf")});
  ASSERT_GE(first, 0) << net.error();
  int second = net.startLab({"modules", "--module", "serial=40F5849A,model=14,address=6,port=9002,hb=0"});
  ASSERT_GE(second, 0) << net.error();
  std::string listing = net.labOutput(first);
  EXPECT_NE(listing.find("module 0000BEEF model 17 address 4 build 1 version 1.0.0 port 9000\n"), std::string::npos)
      << listing;
  EXPECT_NE(listing.find("module 0000CAFE"), std::string::npos);
  EXPECT_NE(listing.find("\nready\n"), std::string::npos);

  {
    testsupport::NetnsScope inside(net.programNamespace());
    ASSERT_TRUE(inside.ok());
    auto replies = Discover(net.programAddress(), 500);
    ASSERT_EQ(replies.size(), 2u);  // both lab processes hear the request; CAFE stays quiet
    std::sort(replies.begin(), replies.end());
    EXPECT_EQ(replies[0].first, Bytes({0x00, 0x04, 0x28, 0x23, 0xEF, 0xBE, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x11,
                                       0x00, 0x00, 0x00}));
    EXPECT_EQ(replies[1].first, Bytes({0x00, 0x06, 0x2A, 0x23, 0x9A, 0x84, 0xF5, 0x40, 0x00, 0x00, 0x00, 0x00, 0x0E,
                                       0x00, 0x00, 0x00}));
    EXPECT_EQ(replies[0].second, net.labAddress());

    RawClient c;
    ASSERT_TRUE(c.connect(9001, net.labAddress()));  // hidden, yet it takes links
    EXPECT_EQ(c.request(0xAD, {}), (Frame{8, {}}));
    c.send(8, {0x00, 0x02});  // an answer to a heartbeat that was never sent
    EXPECT_EQ(c.request(0xAD, {}), (Frame{8, {}}));  // frames are handled in order
  }

  EXPECT_EQ(net.stopLab(first, 3000, SIGINT), 0);
  std::string out = net.labOutput(first);
  EXPECT_NE(out.find("0000CAFE: links 1, requests 0, heartbeats sent 0 answered 0 wrong 1"), std::string::npos)
      << out;
  EXPECT_NE(out.find("\nstopped\n"), std::string::npos);
  EXPECT_EQ(net.stopLab(second, 3000, SIGTERM), 0);
  EXPECT_NE(net.labOutput(second).find("\nstopped\n"), std::string::npos);
}

}  // namespace
