#include <gtest/gtest.h>

#include <chrono>
#include <map>

#include "Entity.h"
#include "ModuleCommands.h"
#include "PeerFixture.h"
#include "SystemClass.h"

using namespace Tessoral::Kovalink;
using namespace objtest;

namespace {

const auto Table = ScriptedPeer::Table;

// A byte-array reply: address, length, command, option, specifier, payload, sequence.
Bytes ArrayReply(uint8_t option, size_t payload, uint8_t sequence, uint8_t fill) {
  Bytes reply{2, static_cast<uint8_t>(payload + 4), 3, option, 0x00};
  for (size_t i = 0; i < payload; ++i)
    reply.push_back(static_cast<uint8_t>(fill + i));
  reply.push_back(sequence);
  return reply;
}

}  // namespace

class EntityTest : public PeerTest {
protected:
  void SetUp() override {
    PeerTest::SetUp();
    if (IsSkipped() || HasFatalFailure())
      return;
    system.init(module.get(), 0);
  }
  SystemClass system;
};

TEST_F(EntityTest, SystemOptionsTravelAsSpecified) {
  peer->setResponder(Table({
      {{2, 3, 0x49, 0x20}, {2, 7, 3, 9, 0x00, 0x40, 0xF5, 0x84, 0x9A}},
      {{2, 3, 0x94, 0x20, 0x01}, {2, 3, 3, 0xD4, 0x00}},
      {{2, 3, 0x84, 0x20, 0x01}, {2, 3, 3, 0xC4, 0x00}},
      {{2, 3, 0x47, 0x20}, {2, 7, 3, 7, 0x00, 0x21, 0x00, 0x00, 0x1A}},
      {{2, 3, 0x48, 0x20}, {2, 4, 3, 8, 0x00, 0x11}},
      {{2, 3, 0x5B, 0x20}, {2, 7, 3, 0x1B, 0x00, 0xFF, 0xFF, 0xFF, 0xF6}},
      {{2, 3, 0x67, 0x20, 0x02}, {2, 7, 3, 0x27, 0x00, 0xCA, 0xFE, 0x00, 0x02}},
      {{2, 3, 0x8B, 0x20}, {2, 3, 3, 0xCB, 0x00}},
  }));
  uint32_t serial = 0;
  ASSERT_EQ(system.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, 0x40F5849Au);
  EXPECT_EQ(next(), (Bytes{2, 3, 0x49, 0x20}));

  EXPECT_EQ(system.routeToMe(1), aErrNone);
  EXPECT_EQ(next(), (Bytes{2, 3, 0x94, 0x20, 0x01}));
  // Any non-zero LED state is sent as 1.
  EXPECT_EQ(system.setLED(2), aErrNone);
  EXPECT_EQ(next(), (Bytes{2, 3, 0x84, 0x20, 0x01}));

  uint32_t version = 0;
  EXPECT_EQ(system.getVersion(&version), aErrNone);
  EXPECT_EQ(version, 0x2100001Au);
  uint8_t model = 0;
  EXPECT_EQ(system.getModel(&model), aErrNone);
  EXPECT_EQ(model, 17);
  int32_t temperature = 0;
  EXPECT_EQ(system.getTemperature(&temperature), aErrNone);
  EXPECT_EQ(temperature, -10);
  // A word of the chip identifier: get with a byte subindex.
  uint32_t word = 0;
  EXPECT_EQ(system.getUEI32(systemChipIdentifier, 2, &word), aErrNone);
  EXPECT_EQ(word, 0xCAFE0002u);
  EXPECT_EQ(system.reset(), aErrNone);

  EXPECT_EQ(system.setName(reinterpret_cast<const uint8_t*>("x"), 1), aErrUnimplemented);
  EXPECT_EQ(system.setInputPowerBehaviorConfig(&word, 1), aErrUnimplemented);
  EXPECT_EQ(system.getSerialNumber(nullptr), aErrParam);
}

TEST_F(EntityTest, ErrorRepliesAndMissingValuesAreFailures) {
  peer->setResponder(Table({
      {{2, 3, 0x42, 0x20}, {2, 4, 3, 2, 0x80, 0x1D}},
      // An error reply without a code must not read as success.
      {{2, 3, 0x44, 0x20}, {2, 3, 3, 4, 0x80}},
      {{2, 3, 0x84, 0x20, 0x00}, {2, 4, 3, 0xC4, 0x80, 0x0D}},
      // Six data bytes: no value form.
      {{2, 3, 0x49, 0x20}, {2, 6, 3, 9, 0x00, 1, 2, 3}},
      // A subindex get answered without a value must not report the subindex.
      {{2, 3, 0x67, 0x20, 0x03}, {2, 3, 3, 0x27, 0x00}},
  }));
  uint8_t router = 77;
  EXPECT_EQ(system.getRouter(&router), aErrInvalidOption);
  EXPECT_EQ(router, 77);
  uint8_t led = 77;
  EXPECT_EQ(system.getLED(&led), aErrUnknown);
  EXPECT_EQ(system.setLED(0), aErrRange);
  uint32_t serial = 77;
  EXPECT_EQ(system.getSerialNumber(&serial), aErrSize);
  EXPECT_EQ(serial, 77u);
  uint32_t word = 77;
  EXPECT_EQ(system.getUEI32(systemChipIdentifier, 3, &word), aErrSize);
  EXPECT_EQ(word, 77u);
}

TEST_F(EntityTest, UnboundOrDisconnectedEntitiesSendNothing) {
  EntityClass unbound;
  uei record{};
  EXPECT_EQ(unbound.getUEI(9, &record), aErrResource);
  EXPECT_EQ(unbound.setUEI(9, &record), aErrResource);
  EXPECT_EQ(unbound.callUEI(11), aErrResource);
  uint8_t buffer[4];
  size_t count = 0;
  EXPECT_EQ(unbound.getUEIBytes8(32, buffer, sizeof(buffer), &count), aErrResource);
  EXPECT_EQ(unbound.sendPacket(0x17, 0, nullptr), aErrResource);

  module->disconnect();
  uint32_t serial = 77;
  EXPECT_EQ(system.getSerialNumber(&serial), aErrConnection);
  EXPECT_EQ(serial, 77u);
  EXPECT_EQ(system.routeToMe(1), aErrConnection);
  EXPECT_EQ(peer->pendingFrames(), 0u);
}

TEST_F(EntityTest, ByteArrayReadsFollowTheSequence) {
  // Three replies: 24, 24 and 5 payload bytes, sequence bytes 0x80, 0x81, 0x02.
  peer->setResponder([](const Frame& frame) {
    if (frame.data != Bytes{3, 0x60, 0x20})
      return Bytes();
    Bytes all = ArrayReply(32, 24, 0x80, 0);
    Bytes second = ArrayReply(32, 24, 0x81, 24);
    Bytes third = ArrayReply(32, 5, 0x02, 48);
    all.insert(all.end(), second.begin(), second.end());
    all.insert(all.end(), third.begin(), third.end());
    return all;
  });
  uint8_t name[64] = {0};
  size_t count = 0;
  ASSERT_EQ(system.getName(name, sizeof(name), &count), aErrNone);
  ASSERT_EQ(count, 53u);
  for (size_t i = 0; i < count; ++i)
    EXPECT_EQ(name[i], i) << "byte " << i;

  // Out of order: 0x03 arrives second, stays queued, and the read times out.
  peer->setResponder([](const Frame& frame) {
    if (frame.data != Bytes{3, 0x60, 0x20})
      return Bytes();
    Bytes all = ArrayReply(32, 24, 0x80, 0);
    Bytes late = ArrayReply(32, 4, 0x03, 0);
    all.insert(all.end(), late.begin(), late.end());
    return all;
  });
  count = 0;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(system.getName(name, sizeof(name), &count), aErrTimeout);
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count(),
            950);
  EXPECT_EQ(count, 24u);
  module->getLink()->dropMatchingUEIPackets(2, 3, 32, 0);

  // A first reply larger than the buffer: out of memory, nothing stored.
  peer->setResponder([](const Frame& frame) {
    return frame.data == Bytes{3, 0x60, 0x20} ? ArrayReply(32, 24, 0x00, 0) : Bytes();
  });
  uint8_t small[10] = {0};
  count = 0;
  EXPECT_EQ(system.getName(small, sizeof(small), &count), aErrMemory);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(system.getName(small, 0, &count), aErrParam);
  EXPECT_EQ(system.getName(nullptr, 10, &count), aErrParam);

  // A reply too short to carry a sequence byte is not copied; it ends the read.
  peer->setResponder([](const Frame& frame) {
    return frame.data == Bytes{3, 0x60, 0x20} ? Bytes{2, 3, 3, 32, 0x00} : Bytes();
  });
  count = 0;
  EXPECT_EQ(system.getName(small, sizeof(small), &count), aErrSize);
  EXPECT_EQ(count, 0u);

  // An error reply ends the read with the module's code.
  peer->setResponder([](const Frame& frame) {
    return frame.data == Bytes{3, 0x60, 0x20} ? Bytes{2, 4, 3, 32, 0x80, 0x15} : Bytes();
  });
  EXPECT_EQ(system.getName(small, sizeof(small), &count), aErrUnimplemented);
}

TEST_F(EntityTest, WordArraysNeedWholeWords) {
  peer->setResponder([](const Frame& frame) {
    if (frame.data != Bytes{3, 0x5F, 0x20})
      return Bytes();
    return Bytes{2, 12, 3, 31, 0x00, 0x12, 0x34, 0x56, 0x78, 0x00, 0x00, 0x01, 0x02, 0x00};
  });
  uint32_t words[4] = {0};
  size_t count = 9;
  ASSERT_EQ(system.getInputPowerBehaviorConfig(words, 4, &count), aErrNone);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(words[0], 0x12345678u);
  EXPECT_EQ(words[1], 0x00000102u);

  peer->setResponder([](const Frame& frame) {
    return frame.data == Bytes{3, 0x5F, 0x20} ? Bytes{2, 10, 3, 31, 0x00, 1, 2, 3, 4, 5, 6, 0x00} : Bytes();
  });
  count = 9;
  EXPECT_EQ(system.getInputPowerBehaviorConfig(words, 4, &count), aErrParse);
  EXPECT_EQ(count, 0u);
}

TEST_F(EntityTest, UnaskedRepliesAreAwaitedOrDrained) {
  peer->send(Bytes{2, 7, 3, 22, 0x00, 0, 0, 0x01, 0x00});
  uint32_t uptime = 0;
  ASSERT_EQ(system.awaitUEI32Val(22, &uptime, 12345), aErrNone);
  EXPECT_EQ(uptime, 256u);
  EXPECT_EQ(next(200), Bytes());  // nothing was asked

  peer->send(Bytes{2, 7, 3, 22, 0x00, 0, 0, 0, 1});
  peer->send(Bytes{2, 7, 3, 22, 0x00, 0, 0, 0, 2});
  peer->send(Bytes{2, 7, 3, 21, 0x00, 0, 0, 0, 3});
  // The peer's frames travel in order: once the last is seen, the others are queued.
  EXPECT_EQ(system.awaitUEI32Val(21, &uptime, 0), aErrNone);
  EXPECT_EQ(uptime, 3u);
  EXPECT_EQ(system.drainUEI(22), aErrNone);
  EXPECT_EQ(system.awaitUEI32Val(22, &uptime, 0), aErrTimeout);
}

TEST_F(EntityTest, ModuleQueriesCheckTheirEcho) {
  peer->setResponder(Table({
      {{2, 0x49, 4, 3}, {2, 4, 0x49, 4, 3, 1}},
      {{2, 0x49, 4, 5}, {2, 4, 0x49, 4, 6, 9}},  // echoes another class
      {{2, 0x49, 5, 3, 0}, {2, 5, 0x49, 5, 3, 0, 2}},
      {{2, 0x49, 6, 3, 1}, {2, 4, 0x49, 6, 3, 7}},  // one byte short
      {{2, 0x49, 1, 3, 9, 0, 0x40}, {2, 6, 0x49, 1, 3, 9, 0, 1}},
      {{2, 0x17, 1, 2, 3}, {2, 4, 0x17, 1, 2, 3}},
      {{2, 0x17, 4, 5}, {2, 3, 0x17, 4, 6}},
  }));
  uint8_t count = 99;
  EXPECT_EQ(module->classQuantity(3, &count), aErrNone);
  EXPECT_EQ(count, 1);
  count = 99;
  EXPECT_EQ(module->classQuantity(5, &count), aErrUnknown);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(module->subClassQuantity(3, 0, &count), aErrNone);
  EXPECT_EQ(count, 2);
  uint8_t group = 99;
  EXPECT_EQ(module->entityGroup(3, 1, &group), aErrUnknown);
  EXPECT_EQ(group, 0);
  EXPECT_EQ(module->hasUEI(3, 9, 0, 0x40), 1);

  // A direction that is neither get, set nor none is refused before anything is sent.
  while (peer->pendingFrames() > 0)
    next();
  EXPECT_EQ(module->hasUEI(3, 9, 0, 0xC0), aErrParam);
  EXPECT_EQ(next(200), Bytes());

  const uint8_t echo[] = {1, 2, 3};
  EXPECT_EQ(module->debug(echo, 3), aErrNone);
  const uint8_t bad[] = {4, 5};
  EXPECT_EQ(module->debug(bad, 2), aErrIO);
  uint8_t tooMany[28] = {0};
  EXPECT_EQ(module->debug(tooMany, 28), aErrParam);
}
