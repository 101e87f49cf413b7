// The lab's one number parser and byte-order helpers.
#include <gtest/gtest.h>

#include "Bytes.h"
#include "Numbers.h"

namespace {

TEST(LabNumbers, WholeTextWithinTheLimit) {
  uint64_t v = 99;
  EXPECT_TRUE(lab::ParseNumber("4294967295", 10, 0xFFFFFFFFu, v));
  EXPECT_EQ(v, 0xFFFFFFFFu);
  EXPECT_TRUE(lab::ParseNumber("0xfffffffF", 10, 0xFFFFFFFFu, v));  // 0x means hex in any base
  EXPECT_TRUE(lab::ParseNumber("18446744073709551615", 0, UINT64_MAX, v));
  EXPECT_EQ(v, UINT64_MAX);
  EXPECT_TRUE(lab::ParseNumber("0", 16, 0, v));
  EXPECT_EQ(v, 0u);
  v = 7;
  for (const char* bad : {"4294967296", "18446744073709551616", "1a", "0x", "0x0x1", "", " 1", "1 ", "+1", "-1", "1.0"})
    EXPECT_FALSE(lab::ParseNumber(bad, 10, 0xFFFFFFFFu, v)) << bad;
  EXPECT_FALSE(lab::ParseNumber("5", 10, 0, v));  // a digit above a small limit
  EXPECT_FALSE(lab::ParseNumber("g", 16, 0xFF, v));
  EXPECT_FALSE(lab::ParseNumber("100", 16, 0xFF, v));
  EXPECT_EQ(v, 7u);  // untouched by every failure

  uint32_t w = 3;
  EXPECT_TRUE(lab::ParseNumber("DEADDEAD", 16, w));
  EXPECT_EQ(w, 0xDEADDEADu);
  EXPECT_FALSE(lab::ParseNumber("100000000", 16, w));
  EXPECT_EQ(w, 0xDEADDEADu);

  uint32_t words[4] = {1, 2, 3, 4};
  EXPECT_FALSE(lab::ParseWords("a:b:c:", words));
  EXPECT_FALSE(lab::ParseWords("a:b:c:d:e", words));
  EXPECT_EQ(words[0], 1u);
  EXPECT_TRUE(lab::ParseWords("a:0xb:c:FFFFFFFF", words));
  EXPECT_EQ(words[1], 0xBu);
  EXPECT_EQ(words[3], 0xFFFFFFFFu);
}

TEST(LabBytes, BothOrdersReadBackWhatTheyWrite) {
  std::vector<uint8_t> out;
  lab::PutBE32(out, 0x01020304);
  lab::PutLE32(out, 0x01020304);
  lab::PutBE16(out, 0xA1B2);
  lab::PutLE16(out, 0xA1B2);
  EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3, 4, 4, 3, 2, 1, 0xA1, 0xB2, 0xB2, 0xA1}));
  EXPECT_EQ(lab::GetBE32(&out[0]), 0x01020304u);
  EXPECT_EQ(lab::GetLE32(&out[4]), 0x01020304u);
  EXPECT_EQ(lab::GetBE16(&out[8]), 0xA1B2);
  EXPECT_EQ(lab::GetLE16(&out[10]), 0xA1B2);
  EXPECT_EQ(lab::GetLE32(&out[0]), 0x04030201u);
  uint8_t high[4] = {0xFF, 0xFE, 0xFD, 0xFC};  // no sign extension from the top byte
  EXPECT_EQ(lab::GetBE32(high), 0xFFFEFDFCu);
  EXPECT_EQ(lab::GetLE32(high), 0xFCFDFEFFu);
  lab::SetLE16(&out[0], 0x1234);
  lab::SetBE32(&out[2], 0xCAFEF00D);
  EXPECT_EQ(out[0], 0x34);
  EXPECT_EQ(out[2], 0xCA);
  EXPECT_EQ(out[5], 0x0D);
}

}  // namespace
