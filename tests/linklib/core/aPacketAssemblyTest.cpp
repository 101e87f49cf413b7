#include <gtest/gtest.h>

#include <vector>

#include "aPacket.h"

namespace {

// Feeds bytes and returns each call's result.
std::vector<aErr> Feed(aPacket* p, const std::vector<uint8_t>& bytes) {
  std::vector<aErr> results;
  for (uint8_t b : bytes)
    results.push_back(aPacket_AddByte(p, b));
  return results;
}

struct PacketHolder {
  PacketHolder() : p(aPacket_Create()) {}
  ~PacketHolder() { aPacket_Destroy(&p); }
  aPacket* p;
};

}  // namespace

TEST(aPacketAssembly, AddressByteMustBeNonZeroAndEven) {
  PacketHolder h;
  ASSERT_NE(h.p, nullptr);
  EXPECT_EQ(aPacket_AddByte(h.p, 0x03), aErrPacket);
  EXPECT_EQ(h.p->address, 0);
  EXPECT_EQ(h.p->received, 1);  // counted even though refused
  aPacket_Reset(h.p);
  EXPECT_EQ(aPacket_AddByte(h.p, 0x00), aErrPacket);
  EXPECT_EQ(h.p->address, 0);
  aPacket_Reset(h.p);
  EXPECT_EQ(aPacket_AddByte(h.p, 0xFE), aErrNone);
  EXPECT_EQ(h.p->address, 0xFE);
}

TEST(aPacketAssembly, EmptyAndFullFrames) {
  PacketHolder h;
  EXPECT_EQ(Feed(h.p, {0x04, 0x00}), std::vector<aErr>(2, aErrNone));
  EXPECT_TRUE(aPacket_IsComplete(h.p));
  uint8_t value = 0xEE;
  EXPECT_EQ(aPacket_GetCmd(h.p, &value), aErrPacket);
  EXPECT_EQ(value, 0xEE);

  aPacket_Reset(h.p);
  std::vector<uint8_t> frame = {0x02, 0x1C};
  for (uint8_t i = 0; i < 28; i++)
    frame.push_back(static_cast<uint8_t>(0xA0 + i));
  for (size_t i = 0; i < frame.size(); i++) {
    EXPECT_FALSE(aPacket_IsComplete(h.p)) << i;
    EXPECT_EQ(aPacket_AddByte(h.p, frame[i]), aErrNone) << i;
  }
  EXPECT_TRUE(aPacket_IsComplete(h.p));
  EXPECT_EQ(h.p->dataSize, 28);
  EXPECT_EQ(h.p->data[0], 0xA0);
  EXPECT_EQ(h.p->data[27], 0xBB);
  EXPECT_EQ(aPacket_AddByte(h.p, 0x55), aErrOverrun);  // 31st byte
  EXPECT_EQ(aPacket_AddByte(h.p, 0x55), aErrOverrun);

  aPacket_Reset(h.p);
  EXPECT_EQ(Feed(h.p, {0x02, 0x1D}), std::vector<aErr>({aErrNone, aErrPacket}));
  EXPECT_EQ(h.p->dataSize, 0x1D);  // stored although refused
}

TEST(aPacketAssembly, BytesBeyondTheAnnouncedLengthAreRefused) {
  PacketHolder h;
  EXPECT_EQ(Feed(h.p, {0x10, 0x02, 0x05, 0xC7}), std::vector<aErr>(4, aErrNone));
  EXPECT_TRUE(aPacket_IsComplete(h.p));
  EXPECT_EQ(aPacket_AddByte(h.p, 0x99), aErrPacket);
  EXPECT_FALSE(aPacket_IsComplete(h.p));
  EXPECT_EQ(h.p->data[2], 0);  // nothing written past the data

  uint8_t cmd = 0, option = 0, index = 0;
  aPacket_Reset(h.p);
  Feed(h.p, {0x10, 0x02, 0x05, 0xC7});
  EXPECT_EQ(aPacket_GetCmd(h.p, &cmd), aErrNone);
  EXPECT_EQ(cmd, 0x05);
  EXPECT_EQ(aPacket_GetOption(h.p, &option), aErrNone);
  EXPECT_EQ(option, 0x07);
  EXPECT_EQ(aPacket_GetIndex(h.p, &index), aErrPacket);  // only two data bytes

  aPacket_Reset(h.p);
  Feed(h.p, {0x10, 0x03, 0x05, 0xC7, 0xE3});
  EXPECT_EQ(aPacket_GetIndex(h.p, &index), aErrNone);
  EXPECT_EQ(index, 0x03);
  EXPECT_EQ(aPacket_GetCmd(h.p, nullptr), aErrParam);
}

TEST(aPacketAssembly, ResetCopyAndValidity) {
  const uint8_t data[3] = {1, 2, 3};
  aPacket* p = aPacket_CreateWithData(0x08, 3, data);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(aPacket_IsComplete(p));
  EXPECT_EQ(p->received, 5);
  aPacket* copy = aPacket_Copy(p);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->address, 0x08);
  EXPECT_EQ(copy->dataSize, 3);
  EXPECT_EQ(copy->data[2], 3);
  EXPECT_EQ(copy->data[3], 0);

  EXPECT_EQ(aPacket_Reset(p), aErrNone);
  EXPECT_EQ(p->received + p->address + p->dataSize + p->data[0] + p->data[2], 0);
  EXPECT_EQ(aPacket_CreateWithData(0x08, 29, data), nullptr);

  // A record with a foreign marker is refused everywhere.
  aPacket forged = *copy;
  forged.check = 0xBEEE;
  uint8_t out = 0;
  EXPECT_EQ(aPacket_AddByte(&forged, 2), aErrParam);
  EXPECT_EQ(aPacket_Reset(&forged), aErrParam);
  EXPECT_FALSE(aPacket_IsComplete(&forged));
  EXPECT_EQ(aPacket_GetCmd(&forged, &out), aErrPacket);
  EXPECT_EQ(aPacket_Copy(&forged), nullptr);
  aPacket* forgedPtr = &forged;
  EXPECT_EQ(aPacket_Destroy(&forgedPtr), aErrParam);
  EXPECT_EQ(aPacket_AddByte(nullptr, 2), aErrParam);

  EXPECT_EQ(aPacket_Destroy(&p), aErrNone);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(aPacket_Destroy(&p), aErrParam);
  EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
  aPacket_Destroy(&copy);
}
