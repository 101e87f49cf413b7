// Stream keys, sample parsing and the callback queue, where a lab module
// cannot produce the case: packets shaped by hand and a queue used directly.
#include <gtest/gtest.h>

#include "Link.h"
#include "LocklessQueue.h"
#include "StreamKey.h"

using namespace Tessoral::Kovalink;

namespace {

aPacket Packet(uint8_t address, std::vector<uint8_t> data) {
  aPacket packet{};
  packet.address = address;
  packet.dataSize = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), packet.data);
  return packet;
}

}  // namespace

TEST(LinkStreams, KeysPackAndUnpackTheirFields) {
  const uint64_t key = Link::createStreamKey(0x04, 0x12, 0x05, 0x02, 0x00);
  EXPECT_EQ(key, 0x0000000004120502ull);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_ADDRESS), 4);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_SUBINDEX), 0);
  const uint64_t registration = Link::createStreamKey(0x04, 0xFF, 0x05, 0x02, 0xFF);
  EXPECT_EQ(registration, 0x000000FF04FF0502ull);
  EXPECT_EQ(Link::getStreamKeyElement(registration, Link::STREAM_KEY_COMMAND), 0xFF);
  EXPECT_EQ(Link::getStreamKeyElement(registration, 5), 0);
}

// Each wildcard combination of index, option, command and subindex is reached
// by exactly one mask, and none ever makes the address a wildcard.
TEST(LinkStreams, GenericMasksCoverEveryWildcardCombinationOnce) {
  const uint64_t expected[StreamKey::kGenericMasks] = {
      0xFF,         0xFF00,       0xFFFF,       0xFF0000,     0xFF00FF,     0xFFFF00,     0xFFFFFF,    0xFF00000000,
      0xFF000000FF, 0xFF0000FF00, 0xFF0000FFFF, 0xFF00FF0000, 0xFF00FF00FF, 0xFF00FFFF00, 0xFF00FFFFFF};
  for (int i = 0; i < StreamKey::kGenericMasks; ++i)
    EXPECT_EQ(StreamKey::genericMask(i), expected[i]) << "mask " << i;
  // A registration (4, any command, 5, 2, any subindex) covers a concrete
  // sample key through mask 11, and only keys of its own module.
  const uint64_t sample = StreamKey::create(4, 0x12, 5, 2, 3);
  const uint64_t registration = StreamKey::create(4, 0xFF, 5, 2, 0xFF);
  EXPECT_EQ(sample | StreamKey::genericMask(11), registration);
  EXPECT_TRUE(StreamKey::matches(sample, 4, 0xFF, 5, 2, 0xFF));
  EXPECT_FALSE(StreamKey::matches(StreamKey::create(6, 0x12, 5, 2, 3), 4, 0xFF, 5, 2, 0xFF));
  EXPECT_TRUE(StreamKey::isConcrete(sample));
  EXPECT_FALSE(StreamKey::isConcrete(registration));
}

TEST(LinkStreams, SamplesParseOnlyAtTheirExactLength) {
  // Type 3: time stamp in bytes 4-11, value in 12-15, sequence byte 0.
  aPacket sample = Packet(4, {0x12, 0x05, 0x42, 3, 0, 0, 0, 1, 0, 0, 0, 2, 0xDE, 0xAD, 0xBE, 0xEF, 0});
  uint64_t timestamp = 0;
  uint32_t value = 0, high = 0, low = 0;
  uint8_t subindex = 9;
  ASSERT_EQ(Link::getStreamSample(&sample, &timestamp, &value, &subindex), aErrNone);
  EXPECT_EQ(value, 0xDEADBEEFu);
  EXPECT_EQ(subindex, 0);
  Link::getTimestampParts(timestamp, &high, &low);
  EXPECT_EQ(high, 1u);
  EXPECT_EQ(low, 2u);
  // One byte short: still a stream packet, but no sample.
  aPacket shortSample = Packet(4, {0x12, 0x05, 0x42, 3, 0, 0, 0, 1, 0, 0, 0, 2, 0xDE, 0xAD, 0xBE, 0});
  EXPECT_TRUE(Link::isStreamPacket(&shortSample));
  EXPECT_FALSE(Link::isStreamSample(&shortSample));
  EXPECT_EQ(Link::getStreamSample(&shortSample, nullptr, &value, nullptr), aErrPacket);
  // Type 7 carries its subindex in byte 4.
  aPacket subindexed = Packet(4, {0x12, 0x05, 0x42, 7, 3, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 1, 2, 0});
  ASSERT_EQ(Link::getStreamSample(&subindexed, nullptr, &value, &subindex), aErrNone);
  EXPECT_EQ(subindex, 3);
  EXPECT_EQ(value, 0x0102u);
  // Replies, set replies and command 8 are never stream packets.
  aPacket reply = Packet(4, {0x12, 0x05, 0x02, 3, 0, 0, 0, 1, 0, 0, 0, 2, 0xDE, 0xAD, 0xBE, 0xEF, 0});
  aPacket setReply = Packet(4, {0x12, 0xC5, 0x42, 3, 0, 0, 0, 1, 0, 0, 0, 2, 0xDE, 0xAD, 0xBE, 0xEF, 0});
  aPacket close = Packet(4, {0x08, 0x05, 0x42, 3, 0});
  EXPECT_FALSE(Link::isStreamPacket(&reply));
  EXPECT_FALSE(Link::isStreamPacket(&setReply));
  EXPECT_FALSE(Link::isStreamPacket(&close));
}

TEST(LinkStreams, QueueHoldsOneItemFewerThanItsSlotsInOrder) {
  LocklessQueue_SPSC<int> queue(500);
  for (int i = 0; i < 499; ++i)
    ASSERT_TRUE(queue.push(i)) << i;
  EXPECT_FALSE(queue.push(499));
  int item = -1;
  ASSERT_TRUE(queue.pop(&item));
  EXPECT_EQ(item, 0);
  EXPECT_TRUE(queue.push(499));  // the freed slot is used again, across the wrap
  for (int expected = 1; expected <= 499; ++expected) {
    ASSERT_TRUE(queue.pop(&item));
    EXPECT_EQ(item, expected);
  }
  EXPECT_FALSE(queue.pop(&item));
}
