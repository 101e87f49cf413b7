#include <gtest/gtest.h>

#include "aPacket.h"

TEST(aPacket, AssemblesFramesByteByByte) {
  aPacket* p = aPacket_Create();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(aPacket_AddByte(p, 0x04), aErrNone);
  EXPECT_FALSE(aPacket_IsComplete(p));
  EXPECT_EQ(aPacket_AddByte(p, 0x00), aErrNone);
  EXPECT_TRUE(aPacket_IsComplete(p));
  uint8_t cmd = 0;
  EXPECT_EQ(aPacket_GetCmd(p, &cmd), aErrPacket);
  EXPECT_EQ(aPacket_Destroy(&p), aErrNone);
  EXPECT_EQ(p, nullptr);
}
