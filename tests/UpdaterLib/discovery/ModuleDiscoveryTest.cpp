#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CLI_Display.h"
#include "Log.h"
#include "Module.h"
#include "LabNetwork.h"
#include "LoopbackLink.h"
#include "ScriptedPeer.h"
#include "Updater.h"
#include "discovery/ModuleDiscovery.h"
#include "discovery/NetworkScan.h"

using Tessoral::Kovalink::Module;
using testsupport::Bytes;
using testsupport::Frame;
using testsupport::ScriptedPeer;


namespace {

// Text written to a memory stream, for checking what the user would see.
class Captured {
public:
  Captured() : stream(open_memstream(&buffer, &size)) {}
  ~Captured() {
    fclose(stream);
    free(buffer);
  }
  std::string text() {
    fflush(stream);
    return std::string(buffer, size);
  }
  FILE* stream;

private:
  char* buffer = nullptr;
  size_t size = 0;
};

class DiscoveryReadTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string whyNot;
    if (!testsupport::EnterPrivateNetwork(&whyNot))
      GTEST_SKIP() << whyNot;
    peer.reset(new ScriptedPeer(4));
    ASSERT_EQ(module.connectFromSpec(testsupport::LoopbackLink(peer->port(), 0xBEEF)), aErrNone);
    ASSERT_EQ(module.getModuleAddress(), 4);
  }
  void answer(const Bytes& request, const Bytes& reply) { peer->setResponder(ScriptedPeer::Table({{request, reply}})); }
  // Replies to the version, module address and router address gets.
  void answerVersion(const Bytes& version, const Bytes& moduleAddress, const Bytes& router) {
    peer->setResponder(ScriptedPeer::Table({{{4, 3, 0x47, 0x20}, version},
                                            {{4, 3, 0x41, 0x20}, moduleAddress},
                                            {{4, 3, 0x42, 0x20}, router}}));
  }
  std::unique_ptr<ScriptedPeer> peer;
  Module module{2, 0};
};

}  // namespace

TEST_F(DiscoveryReadTest, BuildNumberNeedsExactlySixReplyBytes) {
  answer({4, 0x49, 0xFF}, {4, 6, 0x49, 0xFF, 0x05, 0xEE, 0xAB, 0x01});
  EXPECT_EQ(ModuleDiscovery::_get_build_number(module), 0x05EEAB01u);
  answer({4, 0x49, 0xFF}, {4, 7, 0x49, 0xFF, 0x05, 0xEE, 0xAB, 0x01, 0x00});
  EXPECT_EQ(ModuleDiscovery::_get_build_number(module), 0u);
  answer({4, 0x49, 0xFF}, {4, 5, 0x49, 0xFF, 0x05, 0xEE, 0xAB});
  EXPECT_EQ(ModuleDiscovery::_get_build_number(module), 0u);
  answer({4, 0x49, 0xFF}, {});
  EXPECT_EQ(ModuleDiscovery::_get_build_number(module), 0u);
  module.disconnect();
  EXPECT_EQ(ModuleDiscovery::_get_build_number(module), 0u);
}

TEST_F(DiscoveryReadTest, VersionAndAddressesComeFromTheSystemEntity) {
  answerVersion({4, 7, 3, 7, 0x00, 0x21, 0x00, 0x00, 0x1A}, {4, 4, 3, 1, 0x00, 0x04}, {4, 4, 3, 2, 0x00, 0x02});
  DeviceInfo info;
  EXPECT_EQ(ModuleDiscovery::_get_version(module, info), aErrNone);
  EXPECT_EQ(info.major, 2);
  EXPECT_EQ(info.minor, 1);
  EXPECT_EQ(info.patch, 26u);
  EXPECT_EQ(info.spec.module, 4u);
  EXPECT_EQ(info.spec.router, 2u);

  // The first failure is reported; what was read before it stays.
  answerVersion({4, 7, 3, 7, 0x00, 0x31, 0x00, 0x00, 0x02}, {4, 4, 3, 1, 0x80, 0x1D}, {4, 4, 3, 2, 0x00, 0x06});
  DeviceInfo partial;
  EXPECT_EQ(ModuleDiscovery::_get_version(module, partial), aErrInvalidOption);
  EXPECT_EQ(partial.major, 3);
  EXPECT_EQ(partial.patch, 2u);
  EXPECT_EQ(partial.spec.router, 6u);
}

TEST(DiscoveryCallbacks, CollectEveryModuleOrStopAtTheWantedOne) {
  std::vector<DeviceInfo> devices;
  linkSpec spec{};
  spec.type = linkTypeTCPIP;
  spec.serialNumber = 0x1234;
  spec.model = 17;
  bool counted = false;
  EXPECT_TRUE(ModuleDiscovery::_discovered_device(&spec, &counted, &devices));
  EXPECT_TRUE(counted);
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].spec.model, 17u);
  EXPECT_EQ(devices[0].error, 0);

  Captured log;
  Log::SetOutput(log.stream);
  Log::ActivatePackage(DEBUG_Network);
  ModuleDiscovery::LinkSearch search = {0x5678, linkTypeInvalid};
  counted = false;
  EXPECT_TRUE(ModuleDiscovery::_discovered_link(&spec, &counted, &search));
  EXPECT_EQ(search.found, linkTypeInvalid);
  spec.serialNumber = 0x5678;
  EXPECT_FALSE(ModuleDiscovery::_discovered_link(&spec, &counted, &search));
  EXPECT_EQ(search.found, linkTypeTCPIP);
  EXPECT_NE(log.text().find("NETWORK: Found device [00005678] via link type [2]\n"), std::string::npos);
  Log::DeactivatePackage(DEBUG_Network);
  Log::SetOutput(stderr);
}

TEST(DiscoveryEmpty, NoModulesGiveEmptyListsWithoutMessages) {
  std::string whyNot;
  if (!testsupport::EnterPrivateNetwork(&whyNot))
    GTEST_SKIP() << whyNot;
  Captured out, err;
  CLI_Display display(out.stream, err.stream);
  Updater updater("http://127.0.0.1:1/cgi/u", "/nonexistent", display);
  // Only loopback exists here: TCP/IP discovery sends nothing and USB finds no module.
  EXPECT_TRUE(updater.Discover_Devices(linkTypeInvalid).empty());
  EXPECT_TRUE(updater.Discover_KLNetwork_Devices(0xD272031D, linkTypeInvalid).empty());
  EXPECT_TRUE(updater.Discover_KLNetwork_Devices(0xD272031D, linkTypeTCPIP).empty());
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(err.text(), "");
}

// A router stand-in on loopback: modules at 4 and 252, an address it says is empty (6),
// a reply too short to carry a serial number (10), a module that answers late (8), and
// silence everywhere else.
TEST(NetworkScanTest, ListsTheAnsweringModulesInAddressOrderWithinItsWindow) {
  std::string whyNot;
  if (!testsupport::EnterPrivateNetwork(&whyNot))
    GTEST_SKIP() << whyNot;
  std::mutex mutex;
  std::map<uint8_t, int> asked;
  ScriptedPeer router(2);
  router.setResponder([&](const Frame& frame) -> Bytes {
    if (frame.data != Bytes{3, 0x49, 0x20})
      return {};
    std::lock_guard<std::mutex> lock(mutex);
    asked[frame.address]++;
    switch (frame.address) {
      case 4: return {4, 7, 3, 0x09, 0x00, 0x00, 0x00, 0xA0, 0x04};
      case 252: return {252, 7, 3, 0x09, 0x00, 0x00, 0x00, 0xA0, 0xFC};
      case 6: return {6, 4, 3, 0x09, 0x80, aErrNotFound};
      case 10: return {10, 6, 3, 0x09, 0x00, 0x00, 0xA0, 0x0A};
      case 8:
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        return {8, 7, 3, 0x09, 0x00, 0x00, 0x00, 0xA0, 0x08};
      default: return {};
    }
  });
  Module module(2, 0);
  ASSERT_EQ(module.connectFromSpec(testsupport::LoopbackLink(router.port(), 0xD00D)), aErrNone);

  const unsigned window = 4, timeoutMS = 30;
  auto start = std::chrono::steady_clock::now();
  std::vector<NetworkScan::Found> found = NetworkScan(window, timeoutMS).Run(module.getLink()->getLinkRef(), 2);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();

  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].address, 4);
  EXPECT_EQ(found[0].serialNumber, 0xA004u);
  EXPECT_EQ(found[1].address, 8);
  EXPECT_EQ(found[1].serialNumber, 0xA008u);
  EXPECT_EQ(found[2].address, 252);
  EXPECT_EQ(found[2].serialNumber, 0xA0FCu);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(asked.count(2), 0u);
  EXPECT_EQ(asked.size(), 125u);
  for (const auto& address : asked)
    EXPECT_EQ(address.second, 1) << int(address.first);
  // About 120 silent addresses, at most 4 waiting at once, each for 30 ms.
  EXPECT_GE(ms, 120 / window * timeoutMS * 9 / 10);
  // The filter is gone: the link's own waits see replies again.
  router.setResponder(ScriptedPeer::Echo(2));
  uint8_t echo = 0x5A;
  ASSERT_EQ(module.getLink()->sendPacket(2, 0x10, 1, &echo), aErrNone);
  uint8_t match[] = {0x10}, length = 1, reply[28];
  EXPECT_EQ(module.getLink()->receivePacket(2, match, &length, reply), aErrNone);
}
