#include <gtest/gtest.h>

#include "store/BuildPath.h"

TEST(BuildPath, AlwaysInsertsOneSeparatorPerFurtherComponent) {
  EXPECT_EQ(BuildPath("/a/", "b", nullptr), "/a//b");
  EXPECT_EQ(BuildPath("/home/u", ".tessoral", "updater", nullptr), "/home/u/.tessoral/updater");
  EXPECT_EQ(BuildPath("a", "", "c", nullptr), "a//c");
  EXPECT_EQ(BuildPath("only", nullptr), "only");
  EXPECT_EQ(BuildPath(nullptr), "");
}
