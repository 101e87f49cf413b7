// The link engine against a simulated module over TCP in private namespaces:
// both sides of the link written apart must agree on the wire.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "LabNetwork.h"
#include "TestSupport.h"
#include "aLink.h"

namespace {

bool cbEmptyFrame(const aPacket* packet, void*) { return packet->dataSize == 0; }

bool cbFirstByte(const aPacket* packet, void* reference) {
  return packet->dataSize > 0 && packet->data[0] == *static_cast<uint8_t*>(reference);
}

bool WaitForStatus(linkRef ref, bool running, int timeoutMs) {
  return testsupport::WaitUntil([&] { return (aLink_GetStatus(ref) == aLinkStatusRunning) == running; }, timeoutMs);
}

// Sends data to the module at address 4 and returns the first reply starting with data[0].
std::vector<uint8_t> Exchange(linkRef ref, std::vector<uint8_t> data) {
  aPacket* request = aPacket_CreateWithData(4, static_cast<uint8_t>(data.size()), data.data());
  EXPECT_EQ(aLink_PutPacket(ref, request), aErrNone);
  aPacket_Destroy(&request);
  aPacket* reply = aLink_AwaitFirst(ref, cbFirstByte, &data[0], 1000);
  if (!reply)
    return {};
  std::vector<uint8_t> bytes(reply->data, reply->data + reply->dataSize);
  aPacket_Destroy(&reply);
  return bytes;
}

TEST(aLinkLab, EngineTalksToALabModuleAnswersHeartbeatsResyncsAndSeesTheReboot) {
  if (access(testsupport::BinPath("updater-lab").c_str(), X_OK) != 0)
    GTEST_SKIP() << "updater-lab is not built in this build tree";
  testsupport::LabNetwork net;
  if (!net.ok())
    GTEST_SKIP() << net.error();
  int lab = net.startLab(
      {"modules", "--module", "serial=0000BEEF,address=4,port=9000,hb=1,reboot-delay=3000,fault=garbage:query"});
  ASSERT_GE(lab, 0) << net.error();
  {
    testsupport::NetnsScope inside(net.programNamespace());
    ASSERT_TRUE(inside.ok());
    linkRef ref = aLink_CreateTCPIP(inet_addr(net.labAddress().c_str()), 9000);
    ASSERT_NE(ref, 0u);
    ASSERT_TRUE(WaitForStatus(ref, true, 2000));

    aPacket* query = aPacket_CreateWithData(0xAD, 0, nullptr);
    ASSERT_EQ(aLink_PutPacket(ref, query), aErrNone);
    aPacket_Destroy(&query);
    aPacket* answer = aLink_AwaitFirst(ref, cbEmptyFrame, nullptr, 1000);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->address, 4);
    aPacket_Destroy(&answer);

    EXPECT_EQ(Exchange(ref, {0x03, 0x49, 0x20}), std::vector<uint8_t>({0x03, 0x09, 0x00, 0x00, 0x00, 0xBE, 0xEF}));

    // The module's burst of garbage throws the engine out of step; its address
    // queries bring it back, and the link carries on.
    Exchange(ref, {0x49, 0xFF});
    ASSERT_TRUE(WaitForStatus(ref, true, 2000));
    EXPECT_EQ(Exchange(ref, {0x03, 0x48, 0x20}), std::vector<uint8_t>({0x03, 0x08, 0x00, 17}));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // a few heartbeats

    // REBOOT drops the link; reconnecting is refused while the module is away.
    aPacket* reboot = aPacket_CreateWithData(4, 2, std::vector<uint8_t>({0x5F, 0x06}).data());
    ASSERT_EQ(aLink_PutPacket(ref, reboot), aErrNone);
    aPacket_Destroy(&reboot);
    EXPECT_TRUE(WaitForStatus(ref, false, 2000));
    EXPECT_NE(aLink_GetStatus(ref), aLinkStatusRunning);
    EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
  }
  EXPECT_EQ(net.stopLab(lab), 0);
  std::string summary = net.labOutput(lab);
  // Every heartbeat the module sent was answered with h + 2.
  EXPECT_NE(summary.find("wrong 0 missed 0, reboots 1"), std::string::npos) << summary;
  EXPECT_EQ(summary.find("heartbeats sent 0 "), std::string::npos) << summary;
  EXPECT_EQ(summary.find("answered 0 "), std::string::npos) << summary;
}

}  // namespace
