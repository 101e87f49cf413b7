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

TEST(aNumber, LenientModeReadsTheLeadingNumberAsTheCLibraryDoes) {
  uint64_t m = 7;
  bool negative = false;
  EXPECT_EQ(aNumber_Parse(" \t-1310.bird", aNumberLenient, 10, 5000, &m, &negative), aErrNone);
  EXPECT_EQ(m, 1310u);
  EXPECT_TRUE(negative);
  EXPECT_EQ(aNumber_Parse("no digits", aNumberLenient, 10, 5000, &m, &negative), aErrParse);
  EXPECT_EQ(m, 0u);  // written all the same
  EXPECT_FALSE(negative);
  EXPECT_EQ(aNumber_Parse("5001", aNumberLenient, 10, 5000, &m, nullptr), aErrRange);
  EXPECT_EQ(m, 5000u);
  // Strict: trailing text refuses even a number that is too large.
  EXPECT_EQ(aNumber_Parse("99999999999x", aNumberStrict, 10, UINT32_MAX, &m, nullptr), aErrParse);

  EXPECT_EQ(aNumber_LeadingI32("+42 sec", 10), 42);
  EXPECT_EQ(aNumber_LeadingI32("-", 10), 0);
  EXPECT_EQ(aNumber_LeadingI32("99999999999", 10), INT32_MAX);
  EXPECT_EQ(aNumber_LeadingI32("-99999999999", 10), INT32_MIN);
  EXPECT_EQ(aNumber_LeadingI32(nullptr, 10), 0);
  EXPECT_EQ(aNumber_LeadingU32("0x1Fz", 16), 0x1Fu);
  EXPECT_EQ(aNumber_LeadingU32("0xg", 16), 0u);  // the 0 before a lone "x"
  EXPECT_EQ(aNumber_LeadingU32("-1", 16), 0xFFFFFFFFu);
  EXPECT_EQ(aNumber_LeadingU32("123456789", 16), 0xFFFFFFFFu);
  EXPECT_DOUBLE_EQ(aNumber_LeadingDouble(" 2.5 s"), 2.5);
}
