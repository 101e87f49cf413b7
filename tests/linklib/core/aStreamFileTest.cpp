#include <gtest/gtest.h>

#include "TestSupport.h"
#include "aStream.h"

TEST(aStreamFile, WritesAndReadsBackThroughFileStreams) {
  testsupport::TempDir dir;
  std::string path = dir.file("stream.bin");
  aStream* out = nullptr;
  EXPECT_EQ(aStream_CreateFileOutput(nullptr, &out), aErrResource);
  EXPECT_EQ(aStream_CreateFileInput(dir.file("missing").c_str(), &out), aErrResource);
  EXPECT_EQ(out, nullptr);
  ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
  ASSERT_EQ(aStream_WriteCString(out, "alpha"), aErrNone);
  ASSERT_EQ(aStream_WriteCStringRecord(out, "beta", "\n"), aErrNone);
  uint8_t byte;
  EXPECT_EQ(aStream_Read(out, &byte, 1), aErrMode);
  ASSERT_EQ(aStream_Destroy(&out), aErrNone);
  EXPECT_EQ(testsupport::ReadFile(path), std::string("alpha\0beta\n\0", 12));

  aStream* in = nullptr;
  ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
  char text[16];
  EXPECT_EQ(aStream_ReadCString(in, text, sizeof(text)), aErrNone);
  EXPECT_STREQ(text, "alpha");
  EXPECT_EQ(aStream_Write(in, reinterpret_cast<const uint8_t*>("x"), 1), aErrMode);
  // Copying to a second file stops cleanly at the end of the first.
  std::string copyPath = dir.file("copy.bin");
  ASSERT_EQ(aStream_CreateFileOutput(copyPath.c_str(), &out), aErrNone);
  EXPECT_EQ(aStream_Flush(in, out), aErrNone);
  aStream_Destroy(&out);
  EXPECT_EQ(testsupport::ReadFile(copyPath), std::string("beta\n\0", 6));
  uint8_t rest[2];
  EXPECT_EQ(aStream_Read(in, rest, 2), aErrEOF);
  aStream_Destroy(&in);
}
