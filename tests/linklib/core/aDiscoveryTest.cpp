#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "LabNetwork.h"
#include "TestSupport.h"
#include "aDiscovery.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Seen {
  std::vector<linkSpec> specs;
  bool count = true;
  bool goOn = true;
};

bool cbRecord(const linkSpec* spec, bool* success, void* reference) {
  Seen* seen = static_cast<Seen*>(reference);
  seen->specs.push_back(*spec);
  *success = seen->count;
  return seen->goOn;
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(aDiscovery, UsbModuleIsRecognisedByVendorProductAndSerialString) {
  EXPECT_TRUE(aDiscovery_IsModuleDevice(aUSB_VENDOR_ID, 0x0113));
  EXPECT_TRUE(aDiscovery_IsModuleDevice(aUSB_VENDOR_ID, 0x7FFF));
  EXPECT_FALSE(aDiscovery_IsModuleDevice(aUSB_VENDOR_ID, 0x8000));
  EXPECT_FALSE(aDiscovery_IsModuleDevice(0x1FC9, 0x0113));

  linkSpec spec;
  ASSERT_TRUE(aDiscovery_DescribeUSBModule(0x0113, "0000BEEF", 8, &spec));
  EXPECT_EQ(spec.type, linkTypeUSB);
  EXPECT_EQ(spec.serialNumber, 0xBEEFu);
  EXPECT_EQ(spec.model, 0x13u);
  EXPECT_EQ(spec.address, 0xBEEFu);
  EXPECT_EQ(spec.module, 0u);
  EXPECT_EQ(spec.router, 0u);
  EXPECT_EQ(spec.routerSerialNumber, 0u);
  EXPECT_EQ(spec.port, 0u);
  ASSERT_TRUE(aDiscovery_DescribeUSBModule(0x0104, "40f5849a", 8, &spec));
  EXPECT_EQ(spec.serialNumber, 0x40F5849Au);

  // Another length, or text that is no hex number, names no module.
  EXPECT_FALSE(aDiscovery_DescribeUSBModule(0x0113, "BEEF", 4, &spec));
  EXPECT_FALSE(aDiscovery_DescribeUSBModule(0x0113, "0000BEEF0", 9, &spec));
  EXPECT_FALSE(aDiscovery_DescribeUSBModule(0x0113, "0000BEEG", 8, &spec));
  EXPECT_FALSE(aDiscovery_DescribeUSBModule(0x0113, "BEEF\0\0\0\0", 8, &spec));
  EXPECT_FALSE(aDiscovery_DescribeUSBModule(0x0113, "+000BEEF", 8, &spec));
  EXPECT_FALSE(aDiscovery_DescribeUSBModule(0x0113, "0000BEEF", -1, &spec));
}

TEST(aDiscovery, TcpipReplyFillsEverySpecifierField) {
  const uint8_t reply[16] = {0x00, 0x04, 0x28, 0x23, 0xEF, 0xBE, 0, 0, 0, 0, 0, 0, 0x11, 0, 0, 0};
  uint32_t source = inet_addr("10.0.0.7");
  linkSpec spec;
  ASSERT_TRUE(aDiscovery_DescribeTCPIPModule(reply, 16, source, &spec));
  EXPECT_EQ(spec.type, linkTypeTCPIP);
  EXPECT_EQ(spec.module, 4u);
  EXPECT_EQ(spec.router, 4u);
  EXPECT_EQ(spec.port, 9000u);
  EXPECT_EQ(spec.serialNumber, 0xBEEFu);
  EXPECT_EQ(spec.routerSerialNumber, 0xBEEFu);
  EXPECT_EQ(spec.model, 17u);
  EXPECT_EQ(spec.address, source);

  // Without the model byte the model reads 0xFF; without a serial number it is no reply.
  ASSERT_TRUE(aDiscovery_DescribeTCPIPModule(reply, 12, source, &spec));
  EXPECT_EQ(spec.model, 0xFFu);
  EXPECT_FALSE(aDiscovery_DescribeTCPIPModule(reply, 7, source, &spec));
}

TEST(aDiscovery, OtherTransportsAndMissingCallbackFindNothingAtOnce) {
  Seen seen;
  auto start = Clock::now();
  EXPECT_EQ(aDiscovery_EnumerateModules(linkTypeInvalid, cbRecord, &seen), 0);
  EXPECT_EQ(aDiscovery_EnumerateModules(static_cast<linkType>(7), cbRecord, &seen), 0);
  EXPECT_EQ(aDiscovery_EnumerateModules(linkTypeTCPIP, nullptr, nullptr), 0);
  EXPECT_LT(SecondsSince(start), 0.1);
  EXPECT_TRUE(seen.specs.empty());
  EXPECT_EQ(aDiscovery_FindModule(linkTypeInvalid, 0xBEEF), nullptr);
}

TEST(aDiscovery, UsbWithoutModulesReturnsZeroPromptly) {
  // The build machines have no modules on USB (and often no USB at all).
  Seen seen;
  auto start = Clock::now();
  EXPECT_EQ(aDiscovery_EnumerateModules(linkTypeUSB, cbRecord, &seen), 0);
  EXPECT_TRUE(seen.specs.empty());
  EXPECT_EQ(aDiscovery_FindFirstModule(linkTypeUSB), nullptr);
  EXPECT_LT(SecondsSince(start), 1.0);
}

TEST(aLinkSpec, HeapCopiesAreCreatedCopiedAndDestroyed) {
  linkSpec* spec = aLinkSpec_Create(linkTypeTCPIP);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->type, linkTypeTCPIP);
  EXPECT_EQ(spec->serialNumber | spec->module | spec->router | spec->routerSerialNumber | spec->model |
                spec->address | spec->port,
            0u);
  spec->serialNumber = 0x1234;
  spec->port = 9000;
  linkSpec* copy = aLinkSpec_Copy(*spec);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, spec);
  EXPECT_EQ(copy->serialNumber, 0x1234u);
  EXPECT_EQ(copy->port, 9000u);
  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
  EXPECT_EQ(spec, nullptr);
  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);
  EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
  EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrNone);
}

// Two lab modules on the far side of a veth pair; discovery runs in the program
// namespace, so its multicast request never leaves the pair.
TEST(aDiscovery, TcpipFindsLabModulesInPrivateNamespaces) {
  // The thread-sanitizer tree builds this test program alone, without the lab.
  if (access(testsupport::BinPath("updater-lab").c_str(), X_OK) != 0)
    GTEST_SKIP() << "updater-lab is not built in this build tree";
  testsupport::LabNetwork net;
  if (!net.ok())
    GTEST_SKIP() << net.error();
  ASSERT_GE(net.startLab({"modules", "--module", "serial=0000BEEF,model=17,address=4,port=9000,hb=0", "--module",
                          "serial=40F5849A,model=14,address=6,port=9001,hb=0"}),
            0)
      << net.error();
  testsupport::NetnsScope inside(net.programNamespace());
  ASSERT_TRUE(inside.ok());
  uint32_t labAddress = inet_addr(net.labAddress().c_str());

  Seen seen;
  EXPECT_EQ(aDiscovery_EnumerateModules(linkTypeTCPIP, cbRecord, &seen), 2);
  ASSERT_EQ(seen.specs.size(), 2u);
  const linkSpec* beef = seen.specs[0].serialNumber == 0xBEEF ? &seen.specs[0] : &seen.specs[1];
  const linkSpec* other = beef == &seen.specs[0] ? &seen.specs[1] : &seen.specs[0];
  EXPECT_EQ(beef->type, linkTypeTCPIP);
  EXPECT_EQ(beef->serialNumber, 0xBEEFu);
  EXPECT_EQ(beef->module, 4u);
  EXPECT_EQ(beef->router, 4u);
  EXPECT_EQ(beef->routerSerialNumber, 0xBEEFu);
  EXPECT_EQ(beef->model, 17u);
  EXPECT_EQ(beef->address, labAddress);
  EXPECT_EQ(beef->port, 9000u);
  EXPECT_EQ(other->serialNumber, 0x40F5849Au);
  EXPECT_EQ(other->module, 6u);
  EXPECT_EQ(other->model, 14u);
  EXPECT_EQ(other->port, 9001u);

  // Modules that the callback does not count are still seen, but not counted.
  Seen uncounted;
  uncounted.count = false;
  EXPECT_EQ(aDiscovery_EnumerateModules(linkTypeTCPIP, cbRecord, &uncounted), 0);
  EXPECT_EQ(uncounted.specs.size(), 2u);

  // A search that stops at a module ends at once instead of waiting out the
  // 2-second receive time-out.
  auto start = Clock::now();
  linkSpec* found = aDiscovery_FindModule(linkTypeTCPIP, 0x40F5849A);
  double foundAfter = SecondsSince(start);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->serialNumber, 0x40F5849Au);
  EXPECT_EQ(found->port, 9001u);
  EXPECT_EQ(found->address, labAddress);
  EXPECT_LT(foundAfter, 1.5);
  EXPECT_EQ(aLinkSpec_Destroy(&found), aErrNone);

  linkSpec* first = aDiscovery_FindFirstModule(linkTypeTCPIP);
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(first->serialNumber == 0xBEEFu || first->serialNumber == 0x40F5849Au);
  aLinkSpec_Destroy(&first);

  start = Clock::now();
  EXPECT_EQ(aDiscovery_FindModule(linkTypeTCPIP, 0x12345678), nullptr);
  EXPECT_GE(SecondsSince(start), 1.9);
}

// A responder that answers every request again and again, as a flood would:
// 0000F00D every 100 ms, for as long as it runs.
TEST(aDiscovery, TcpipWindowIsBoundedAndEachModuleReportedOnce) {
  testsupport::LabNetwork net;
  if (!net.ok())
    GTEST_SKIP() << net.error();
  std::atomic<bool> stop{false};
  std::atomic<bool> listening{false};
  std::thread responder([&] {
    testsupport::NetnsScope lab(net.labNamespace());
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(aDISCOVERY_REQUEST_PORT);
    ip_mreq group = {};
    group.imr_multiaddr.s_addr = inet_addr(aDISCOVERY_GROUP);
    group.imr_interface.s_addr = inet_addr(net.labAddress().c_str());
    timeval tick = {0, 100 * 1000};
    if (!lab.ok() || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick) != 0) {
      close(fd);
      return;
    }
    listening = true;
    sockaddr_in asker = {};
    bool asked = false;
    const uint8_t reply[16] = {0x02, 2, 0x28, 0x23, 0x0D, 0xF0, 0, 0, 0, 0, 0, 0, 17};
    while (!stop) {
      uint8_t request[16];
      socklen_t length = sizeof asker;
      if (recvfrom(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&asker), &length) > 0)
        asked = true;
      if (!asked)
        continue;
      sockaddr_in to = asker;
      to.sin_port = htons(aDISCOVERY_REPLY_PORT);
      sendto(fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    close(fd);
  });
  ASSERT_TRUE(testsupport::WaitUntil([&] { return listening.load(); }, 1000));
  {
    testsupport::NetnsScope inside(net.programNamespace());
    ASSERT_TRUE(inside.ok());
    Seen seen;
    auto start = Clock::now();
    EXPECT_EQ(aDiscovery_EnumerateModules(linkTypeTCPIP, cbRecord, &seen), 1);
    double seconds = SecondsSince(start);
    EXPECT_GE(seconds, 1.9);
    EXPECT_LT(seconds, 3.0);
    ASSERT_EQ(seen.specs.size(), 1u);
    EXPECT_EQ(seen.specs[0].serialNumber, 0xF00Du);
  }
  stop = true;
  responder.join();
}

}  // namespace
