// The checked parser refuses what a plain strtoul would read as another number.
#include <gtest/gtest.h>

#include "aNumber.h"

TEST(aNumber, ReadsOnlyWholeNumbersThatFit) {
  uint32_t v = 7;
  EXPECT_EQ(aNumber_ParseU32("010", 10, &v), aErrNone);
  EXPECT_EQ(v, 10u);  // decimal, never octal
  EXPECT_EQ(aNumber_ParseU32("DEADbeef", 16, &v), aErrNone);
  EXPECT_EQ(v, 0xDEADBEEFu);
  EXPECT_EQ(aNumber_ParseU32("4294967295", 10, &v), aErrNone);
  EXPECT_EQ(v, 4294967295u);
  v = 7;
  for (const char* bad : {"", "12x", " 12", "12 ", "-1", "+1", "0x10", "1e3"})
    EXPECT_EQ(aNumber_ParseU32(bad, 10, &v), aErrParse) << bad;
  EXPECT_EQ(aNumber_ParseU32("4294967296", 10, &v), aErrRange);
  EXPECT_EQ(aNumber_ParseU32("10000FA11", 16, &v), aErrRange);
  EXPECT_EQ(aNumber_ParseU32("12G", 16, &v), aErrParse);
  EXPECT_EQ(v, 7u);  // untouched on failure
  uint64_t w = 0;
  EXPECT_EQ(aNumber_ParseU64("18446744073709551616", 10, &w), aErrRange);
  EXPECT_EQ(aNumber_ParseU32("1", 8, &v), aErrParam);
  EXPECT_EQ(aNumber_ParseU32(nullptr, 10, &v), aErrParam);
}
