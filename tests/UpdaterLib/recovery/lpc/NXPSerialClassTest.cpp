// The arithmetic of the ISP client that end-to-end runs cannot pin down:
// uuencoding, return codes, sectors and the copy windows of a piece.
#include <gtest/gtest.h>

#include <cstring>

#include "recovery/lpc/NXPSerialClass.h"

TEST(NXPSerialClass, UuencodingRoundTripsAndMatchesKnownLines) {
  char line[64];
  const uint8_t zeros[3] = {0, 0, 0};
  EXPECT_EQ(NXPSerialClass::uuencode(line, zeros, 3), 3u);
  EXPECT_STREQ(line, "#````");
  const uint8_t a = 0x41;
  NXPSerialClass::uuencode(line, &a, 1);
  EXPECT_STREQ(line, "!00``");
  // A full line is 61 characters and takes 45 bytes, never more.
  uint8_t data[50], back[50] = {0};
  for (int i = 0; i < 50; i++)
    data[i] = static_cast<uint8_t>(i * 37 + 1);
  EXPECT_EQ(NXPSerialClass::uuencode(line, data, 50), 45u);
  EXPECT_EQ(std::strlen(line), 61u);
  EXPECT_EQ(NXPSerialClass::uudecode(back, sizeof(back), line), 45u);
  EXPECT_EQ(std::memcmp(back, data, 45), 0);
  EXPECT_EQ(NXPSerialClass::uudecode(back, 10, line), 0u);  // more than the room
  line[20] = 0;
  EXPECT_EQ(NXPSerialClass::uudecode(back, sizeof(back), line), 0u);  // a cut line
}

TEST(NXPSerialClass, OnlyAWholeZeroIsSuccess) {
  int code = -1;
  EXPECT_TRUE(NXPSerialClass::ParseReturnCode("0", &code));
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(NXPSerialClass::ParseReturnCode("10", &code));
  EXPECT_EQ(code, 10);
  EXPECT_TRUE(NXPSerialClass::ParseReturnCode("19", &code));
  EXPECT_EQ(code, 19);
  EXPECT_FALSE(NXPSerialClass::ParseReturnCode("P 0 29", &code));
  EXPECT_FALSE(NXPSerialClass::ParseReturnCode("", &code));
  EXPECT_STREQ(NXPSerialClass::GetErrorText("19"), "CODE_READ_PROTECTION_ENABLED");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("42"), "Unknown error");
}

TEST(NXPSerialClass, SectorsCopyLengthsAndRates) {
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0xFFFF), 15u);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x10000), 16u);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x7FFFF), 29u);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x80000), 30u);
  EXPECT_EQ(NXPSerialClass::CopyLength(3000), 4096u);
  EXPECT_EQ(NXPSerialClass::CopyLength(5000), 5000u);
  EXPECT_EQ(NXPSerialClass::RateFor(100000), 115200u);
  EXPECT_EQ(NXPSerialClass::RateFor(1000000), 9600u);
  // An erase of all sectors is given seconds; one sector far less.
  EXPECT_GE(NXPSerialClass::EraseWaitMs(0, 29), 4000u);
  EXPECT_LE(NXPSerialClass::EraseWaitMs(3, 3), 1500u);
}

TEST(NXPSerialClass, PiecesAreCopyWindowsThatFitTheFlash) {
  uint32_t base = 0, copy = 0, take = 0;
  // A 5000-byte block: 4096, then 904 copied with 1024.
  ASSERT_TRUE(NXPSerialClass::PlanPiece(0x1000, 5000, &base, &copy, &take));
  EXPECT_EQ(base, 0x1000u);
  EXPECT_EQ(copy, 4096u);
  EXPECT_EQ(take, 4096u);
  ASSERT_TRUE(NXPSerialClass::PlanPiece(0x2000, 904, &base, &copy, &take));
  EXPECT_EQ(copy, 1024u);
  EXPECT_EQ(take, 904u);
  // An unaligned start: the window starts at the 256-byte boundary below.
  ASSERT_TRUE(NXPSerialClass::PlanPiece(0x20010, 1001, &base, &copy, &take));
  EXPECT_EQ(base, 0x20000u);
  EXPECT_EQ(copy, 1024u);
  EXPECT_EQ(take, 1001u);
  // Near the end of the flash a window never runs past it.
  ASSERT_TRUE(NXPSerialClass::PlanPiece(0x7FE00, 1000, &base, &copy, &take));
  EXPECT_EQ(base + copy, 0x80000u);
  EXPECT_EQ(copy, 512u);
  EXPECT_EQ(take, 512u);
  EXPECT_FALSE(NXPSerialClass::PlanPiece(0x80000, 4, &base, &copy, &take));
}
