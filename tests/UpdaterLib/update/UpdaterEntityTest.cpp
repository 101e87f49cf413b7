// The upgrade command against a scripted module on a loopback link in a private network.
#include <gtest/gtest.h>

#include <atomic>

#include <cstdio>
#include <mutex>
#include <string>

#include "LabNetwork.h"
#include "Log.h"
#include "LoopbackLink.h"
#include "Module.h"
#include "RecordingDisplay.h"
#include "ScriptedPeer.h"
#include "TestSupport.h"
#include "update/UpdaterEntity.h"

using testsupport::Bytes;
using testsupport::Frame;
using testsupport::ScriptedPeer;
using Tessoral::Kovalink::Module;

namespace {

// Upgrade replies a well-behaved module gives.
Bytes StatusReply(uint8_t status, const Bytes& rest = {}) {
  Bytes reply{0x5F, 0x07, status};
  reply.insert(reply.end(), rest.begin(), rest.end());
  return reply;
}

uint32_t Sum(const uint8_t* data, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i < length; i++) sum += data[i];
  return sum;
}

// The module side of the upgrade command, with switches for the faults a test wants.
class UpgradePeer {
public:
  enum LoadMode { LoadAnswer, LoadSilent, LoadAfterReconnect };

  // Set by the test while the module's thread reads them.
  std::atomic<uint16_t> blockSize{256};
  std::atomic<size_t> initReplyLength{6};
  std::atomic<uint8_t> prepareStatus{0};
  std::atomic<int> shortAccepts{0};  // this many DATA requests are answered "20 accepted" and discarded
  std::atomic<bool> sumOffByOne{false};
  std::atomic<uint8_t> sumStatus{0};
  std::atomic<bool> silentData{false};
  std::atomic<bool> silentSum{false};
  std::atomic<LoadMode> loadMode{LoadAnswer};
  std::atomic<bool> dropOnReboot{true};

  explicit UpgradePeer(ScriptedPeer& module) {
    module.setResponder([this, &module](const Frame& frame) {
      if (frame.address == 2) Handle(module, frame.data);
      return Bytes();
    });
    module.setOnConnect([this, &module] {
      if (loadMode == LoadAfterReconnect && loadSeen) module.reply({0x5F, 0x02});
    });
  }

  // One word per request: "INIT", "PREPARE", "DATA26", "SUM", "WRITE256", "LOAD", "REBOOT".
  std::vector<std::string> Ops() {
    std::lock_guard<std::mutex> lock(mutex);
    return ops;
  }
  Bytes Written() {
    std::lock_guard<std::mutex> lock(mutex);
    return written;
  }
  Bytes LastRequest() {
    std::lock_guard<std::mutex> lock(mutex);
    return last;
  }
  size_t Count(const std::string& op) {
    size_t n = 0;
    for (auto& o : Ops()) n += (o == op);
    return n;
  }

private:
  void Handle(ScriptedPeer& m, const Bytes& data) {
    std::lock_guard<std::mutex> lock(mutex);
    last = data;
    if (data.size() < 2 || data[0] != 0x5F) return;
    switch (data[1]) {
    case 0: {
      ops.push_back("INIT");
      Bytes reply{0x5F, 0x00, 0x10, 0x00, 0x20, 0x00};
      reply.resize(initReplyLength);
      m.reply(reply);
      break;
    }
    case 3:
      ops.push_back("PREPARE");
      pending.clear();
      m.reply(StatusReply(prepareStatus, {uint8_t(blockSize >> 8), uint8_t(blockSize)}));
      break;
    case 1: {
      uint8_t n = uint8_t(data.size() - 2);
      ops.push_back("DATA" + std::to_string(n));
      chunks.push_back(Bytes(data.begin() + 2, data.end()));
      if (silentData) break;
      if (shortAccepts > 0) {
        shortAccepts--;
        m.reply({0x5F, 0x01, 20});
        break;
      }
      pending.insert(pending.end(), data.begin() + 2, data.end());
      m.reply({0x5F, 0x01, n});
      break;
    }
    case 4: {
      ops.push_back("SUM");
      if (silentSum) break;
      uint32_t sum = Sum(pending.data(), pending.size()) + (sumOffByOne ? 1 : 0);
      m.reply(StatusReply(sumStatus, {uint8_t(sum >> 24), uint8_t(sum >> 16), uint8_t(sum >> 8),
                                                uint8_t(sum)}));
      break;
    }
    case 5: {
      size_t count = size_t(data[2]) << 8 | data[3];
      ops.push_back("WRITE" + std::to_string(count));
      written.insert(written.end(), pending.begin(), pending.begin() + std::min(count, pending.size()));
      pending.clear();
      m.reply(StatusReply(0));
      break;
    }
    case 2: {
      // The mode is read once: the test may switch it as soon as the reply is out.
      LoadMode mode = loadMode;
      ops.push_back("LOAD");
      if (mode == LoadAnswer) m.reply({0x5F, 0x02});
      if (mode == LoadAfterReconnect) {
        // The loader takes over: the link goes away and stays away past the first reconnect try.
        loadSeen = true;
        m.refuseFor(300);
        m.drop();
      }
      break;
    }
    case 6:
      ops.push_back("REBOOT");
      if (dropOnReboot) {
        m.refuseFor(1500);  // rebooting: the host's socket cannot simply reconnect
        m.drop();
      }
      break;
    }
  }

public:
  std::vector<Bytes> chunks;

private:
  std::mutex mutex;
  std::vector<std::string> ops;
  Bytes pending;
  Bytes written;
  Bytes last;  // the latest request, whatever it was
  std::atomic<bool> loadSeen{false};
};

// Collects the debug log with a chosen package mask; restores the log afterwards.
class LogCapture {
public:
  explicit LogCapture(uint32_t mask) : saved(Log::fh), savedMask(Log::package_bitmask), file(tmpfile()) {
    Log::fh = file;
    Log::package_bitmask = mask;
  }
  ~LogCapture() {
    Log::fh = saved;
    Log::package_bitmask = savedMask;
    fclose(file);
  }
  std::string Text() {
    fflush(file);
    std::string text;
    rewind(file);
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    return text;
  }

private:
  FILE* saved;
  uint32_t savedMask;
  FILE* file;
};

Bytes Block(uint32_t address, size_t imageBytes) {
  Bytes block{uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address)};
  for (size_t i = 0; i < imageBytes; i++) block.push_back(uint8_t(i * 37 + 11));
  return block;
}

std::vector<std::string> Repeat(const std::string& op, size_t n) { return std::vector<std::string>(n, op); }

void Append(std::vector<std::string>& to, const std::vector<std::string>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

// Runs `body` with a connected module and a fresh peer.
void WithPeer(const std::function<void(ScriptedPeer&, UpgradePeer&, Module&, UpdaterEntity&)>& body) {
  ScriptedPeer scriptedModule(2);
  ASSERT_NE(0, scriptedModule.port());
  UpgradePeer peer(scriptedModule);
  Module module(2, static_cast<uint8_t>(0));
  ASSERT_EQ(0, module.connectFromSpec(testsupport::LoopbackLink(scriptedModule.port(), 0x1234ABCD)));
  UpdaterEntity entity;
  entity.init(&module, 0, true);
  body(scriptedModule, peer, module, entity);
  // The module's thread uses the peer: it ends before the peer goes.
  module.disconnect();
  scriptedModule.stop();
}

// The peer listens on loopback, inside a network namespace of the test's own.
#define REQUIRE_PRIVATE_NETWORK()                                   \
  std::string whyNot;                                               \
  if (!testsupport::EnterPrivateNetwork(&whyNot)) GTEST_SKIP() << whyNot

}  // namespace

TEST(UpdaterEntity, InitNeedsTheLoadBaseAndPrepareReportsBlockSize) {
  REQUIRE_PRIVATE_NETWORK();
  WithPeer([](ScriptedPeer&, UpgradePeer& peer, Module&, UpdaterEntity& entity) {
    EXPECT_EQ(aErrNone, entity.LoaderInit());
    peer.initReplyLength = 5;  // command, option and only three of the four load-base bytes
    EXPECT_EQ(aErrPacket, entity.LoaderInit());

    Bytes block = Block(0x00012345, 10);
    uint16_t blockSize = 0;
    peer.blockSize = 512;
    EXPECT_EQ(aErrNone, entity.TransferPrepare(block.data(), uint32_t(block.size()), 5, blockSize));
    EXPECT_EQ(512, blockSize);
    EXPECT_EQ((Bytes{0x5F, 0x03, 0x05, 0x00, 0x01, 0x23, 0x45}), peer.LastRequest());

    peer.prepareStatus = 3;
    EXPECT_EQ(aErrInvalidOption, entity.TransferPrepare(block.data(), uint32_t(block.size()), 0, blockSize));
  });
}

TEST(UpdaterEntity, LoaderBlockGoesInChunksOf26WithOneSum) {
  REQUIRE_PRIVATE_NETWORK();
  WithPeer([](ScriptedPeer&, UpgradePeer& peer, Module&, UpdaterEntity& entity) {
    Bytes block = Block(0x10000000, 60);
    uint16_t blockSize = 0;
    ASSERT_EQ(aErrNone, entity.TransferPrepare(block.data(), uint32_t(block.size()), 0, blockSize));
    ASSERT_EQ(aErrNone, entity.LoaderTransfer(block.data(), uint32_t(block.size())));
    EXPECT_EQ((std::vector<std::string>{"PREPARE", "DATA26", "DATA26", "DATA8", "SUM"}), peer.Ops());
    // The chunks carry the content after the address, in order and unchanged.
    Bytes sent;
    for (auto& c : peer.chunks) sent.insert(sent.end(), c.begin(), c.end());
    EXPECT_EQ(Bytes(block.begin() + 4, block.end()), sent);
  });
}

TEST(UpdaterEntity, FirmwareBlockGoesInSumCheckedWrittenPieces) {
  REQUIRE_PRIVATE_NETWORK();
  WithPeer([](ScriptedPeer&, UpgradePeer& peer, Module&, UpdaterEntity& entity) {
    Bytes block = Block(0x00004000, 1000);
    RecordingDisplay display;
    ASSERT_EQ(aErrNone, entity.FirmwareTransfer(block.data(), uint32_t(block.size()), 256, display));

    std::vector<std::string> expected;
    for (int piece = 0; piece < 3; piece++) {
      Append(expected, Repeat("DATA26", 9));
      Append(expected, {"DATA22", "SUM", "WRITE256"});
    }
    Append(expected, Repeat("DATA26", 8));
    Append(expected, {"DATA24", "SUM", "WRITE232"});
    EXPECT_EQ(expected, peer.Ops());
    EXPECT_EQ(Bytes(block.begin() + 4, block.end()), peer.Written());

    EXPECT_EQ((std::vector<std::string>{"progress-on", "progress-off"}), display.events);
    // Progress is shown as the pieces go in (at most every 100 ms) and once at the end.
    ASSERT_GE(display.fractions.size(), 1u);
    for (size_t i = 1; i < display.fractions.size(); i++) EXPECT_LT(display.fractions[i - 1], display.fractions[i]);
    EXPECT_DOUBLE_EQ(1.0, display.fractions.back());
  });
}

TEST(UpdaterEntity, ShortAcceptanceResendsTheSameChunkAndCountsItOnce) {
  REQUIRE_PRIVATE_NETWORK();
  WithPeer([](ScriptedPeer&, UpgradePeer& peer, Module&, UpdaterEntity& entity) {
    Bytes block = Block(0, 60);
    peer.shortAccepts = 1;
    ASSERT_EQ(aErrNone, entity.LoaderTransfer(block.data(), uint32_t(block.size())));
    EXPECT_EQ((std::vector<std::string>{"DATA26", "DATA26", "DATA26", "DATA8", "SUM"}), peer.Ops());
    EXPECT_EQ(peer.chunks[0], peer.chunks[1]);

    // A module that never takes the chunk ends the transfer instead of looping for ever.
    peer.shortAccepts = 1000;
    entity.maxChunkResends = 3;
    EXPECT_EQ(aErrPacket, entity.LoaderTransfer(block.data(), uint32_t(block.size())));
    EXPECT_EQ(4u, peer.Count("DATA26") - 3);  // first try plus three resends
    EXPECT_EQ(1u, peer.Count("SUM"));
  });
}

TEST(UpdaterEntity, SumMismatchFailsAndIsAlwaysLogged) {
  REQUIRE_PRIVATE_NETWORK();
  WithPeer([](ScriptedPeer&, UpgradePeer& peer, Module&, UpdaterEntity& entity) {
    Bytes block = Block(0, 40);
    RecordingDisplay display;
    {
      LogCapture log(0);
      peer.sumOffByOne = true;
      EXPECT_EQ(aErrInvalidOption, entity.LoaderTransfer(block.data(), uint32_t(block.size())));
      EXPECT_NE(std::string::npos, log.Text().find("NETWORK: Unable to validate transfer [00]"));

      // A firmware piece that fails its sum is not written.
      EXPECT_EQ(aErrInvalidOption, entity.FirmwareTransfer(block.data(), uint32_t(block.size()), 256, display));
      EXPECT_EQ(0u, peer.Count("WRITE40"));
      EXPECT_NE(std::string::npos, log.Text().find("NETWORK: Failed to transfer firmware"));
    }
    peer.sumOffByOne = false;
    peer.sumStatus = 1;  // right sum, bad status
    EXPECT_EQ(aErrInvalidOption, entity.LoaderTransfer(block.data(), uint32_t(block.size())));

  });
}

TEST(UpdaterEntity, MissingRepliesAndZeroBlockSizeFail) {
  REQUIRE_PRIVATE_NETWORK();
  WithPeer([](ScriptedPeer&, UpgradePeer& peer, Module&, UpdaterEntity& entity) {
    Bytes block = Block(0, 30);
    RecordingDisplay display;
    // Block size 0 would never finish: nothing is sent.
    EXPECT_EQ(aErrInvalidOption, entity.FirmwareTransfer(block.data(), uint32_t(block.size()), 0, display));
    EXPECT_TRUE(peer.Ops().empty());

    peer.silentSum = true;
    EXPECT_EQ(aErrPacket, entity.LoaderTransfer(block.data(), uint32_t(block.size())));
    peer.silentSum = false;
    peer.silentData = true;
    EXPECT_EQ(aErrPacket, entity.LoaderTransfer(block.data(), uint32_t(block.size())));
    EXPECT_EQ(1u, peer.Count("SUM"));  // no sum is asked for after a lost chunk
  });
}

TEST(UpdaterEntity, LoaderStartWaitsForTheModuleToComeBack) {
  REQUIRE_PRIVATE_NETWORK();
  WithPeer([](ScriptedPeer& sm, UpgradePeer& peer, Module& module, UpdaterEntity& entity) {
    EXPECT_EQ(aErrNone, entity.LoaderStart());

    // No reply, the link drops, the first reconnect is refused, the second succeeds and the
    // confirmation arrives on the new link: started, and LOAD went out only once more.
    peer.loadMode = UpgradePeer::LoadAfterReconnect;
    EXPECT_EQ(aErrNone, entity.LoaderStart());
    EXPECT_EQ(2u, peer.Count("LOAD"));
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ(2, sm.connections());  // the first link and the one accepted try

    // Reconnected but never confirmed: reported as a time-out.
    peer.loadMode = UpgradePeer::LoadSilent;
    EXPECT_EQ(aErrTimeout, entity.LoaderStart());
  });
}

TEST(UpdaterEntity, RebootWaitsForTheLinkToDrop) {
  REQUIRE_PRIVATE_NETWORK();
  WithPeer([](ScriptedPeer&, UpgradePeer& peer, Module& module, UpdaterEntity& entity) {
    RecordingDisplay display;
    entity.rebootWaitMs = 1000;
    peer.dropOnReboot = false;
    EXPECT_EQ(aErrTimeout, entity.LoaderReboot(display));  // the link never went away
    EXPECT_EQ("spin-off", display.events.back());

    display.events.clear();
    peer.dropOnReboot = true;
    EXPECT_EQ(aErrNone, entity.LoaderReboot(display));
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ("spin-off", display.events.back());

    // Already down: the send fails, the spinner is cleared at once.
    display.events.clear();
    module.disconnect();
    LogCapture log(DEBUG_Network_FIRM);
    EXPECT_EQ(aErrConnection, entity.LoaderReboot(display));
    EXPECT_EQ((std::vector<std::string>{"spin-off"}), display.events);
    EXPECT_NE(std::string::npos, log.Text().find("NETWORK: Error sending Loader REBOOT\n"));
  });
}
