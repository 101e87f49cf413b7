#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "TestSupport.h"
#include "aFile.h"

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const uint8_t* Bytes(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

// Writes `contents` to a new file in `dir` and opens it for reading.
aFileRef OpenReadOnly(const TempDir& dir, const std::string& contents, std::string* path = nullptr) {
  std::string file = dir.file("data");
  if (path)
    *path = file;
  return WriteFile(file, contents) ? aFile_Open(file.c_str(), aFileModeReadOnly) : nullptr;
}

}  // namespace

TEST(aFile, OpenRefusesBadPathsAndModes) {
  TempDir dir;
  std::string path = dir.file("f.bin");
  ASSERT_TRUE(WriteFile(path, "abc"));
  EXPECT_EQ(aFile_Open(path.c_str(), aFileModeUnknown), nullptr);
  EXPECT_EQ(aFile_Open(path.c_str(), -1), nullptr);
  EXPECT_EQ(aFile_Open("", aFileModeReadOnly), nullptr);
  EXPECT_EQ(aFile_Open(nullptr, aFileModeReadOnly), nullptr);
  EXPECT_EQ(aFile_Open(dir.file("missing").c_str(), aFileModeReadOnly), nullptr);
  std::string tooLong = "/" + std::string(aFILE_MAX_PATH, 'p');
  EXPECT_EQ(aFile_Open(tooLong.c_str(), aFileModeWriteOnly), nullptr);
  EXPECT_FALSE(aFile_Exists(tooLong.c_str()));
  EXPECT_EQ(aFile_Delete(tooLong.c_str()), aErrFileNameLength);

  aFileRef f = aFile_Open(path.c_str(), aFileModeReadOnly);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(aFile_Close(&f), aErrNone);
  EXPECT_EQ(f, nullptr);
  EXPECT_EQ(aFile_Close(&f), aErrParam);
}

TEST(aFile, ModesAllowOnlyTheirDirection) {
  TempDir dir;
  std::string path = dir.file("f.bin");
  ASSERT_TRUE(WriteFile(path, "old contents"));

  aFileRef w = aFile_Open(path.c_str(), aFileModeWriteOnly);  // truncates
  ASSERT_NE(w, nullptr);
  uint8_t buffer[16];
  size_t count = 99;
  EXPECT_EQ(aFile_Read(w, buffer, sizeof(buffer), &count), aErrMode);
  EXPECT_EQ(aFile_ReadLine(w, reinterpret_cast<char*>(buffer), sizeof(buffer), &count), aErrMode);
  EXPECT_EQ(aFile_Write(w, Bytes("a\r\nb"), 4, &count), aErrNone);
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(aFile_Printf(w, "-%03d-", 7), aErrNone);
  EXPECT_EQ(aFile_Close(&w), aErrNone);
  EXPECT_EQ(ReadFile(path), "a\r\nb-007-");  // no text translation

  aFileRef r = aFile_Open(path.c_str(), aFileModeReadOnly);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(aFile_Write(r, Bytes("x"), 1, &count), aErrMode);
  EXPECT_EQ(aFile_Printf(r, "x"), aErrMode);
  EXPECT_EQ(aFile_SetUnbuffered(r), aErrMode);
  EXPECT_EQ(aFile_Read(r, buffer, sizeof(buffer), &count), aErrNone);
  EXPECT_EQ(count, 9u);
  EXPECT_EQ(aFile_Read(r, buffer, sizeof(buffer), &count), aErrEOF);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(aFile_Read(r, buffer, 0, nullptr), aErrNone);  // nothing asked, nothing missing
  aFile_Close(&r);

  // Append: created if missing, positioned at the end, readable after a seek.
  aFileRef a = aFile_Open(path.c_str(), aFileModeAppend);
  ASSERT_NE(a, nullptr);
  size_t position = 12345;
  EXPECT_EQ(aFile_GetPosition(a, &position), aErrNone);
  EXPECT_EQ(position, 9u);
  EXPECT_EQ(aFile_SetUnbuffered(a), aErrNone);
  EXPECT_EQ(aFile_Write(a, Bytes("XY"), 2, nullptr), aErrNone);
  EXPECT_EQ(aFile_Seek(a, 0, aSeekStart), aErrNone);
  EXPECT_EQ(aFile_GetPosition(a, &position), aErrNone);
  EXPECT_EQ(position, 0u);  // stored, not left at its old value
  EXPECT_EQ(aFile_Read(a, buffer, 3, &count), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "a\r\n");
  // Switching from reading to writing on one stream without repositioning.
  EXPECT_EQ(aFile_Write(a, Bytes("Z"), 1, nullptr), aErrNone);
  EXPECT_EQ(aFile_Read(a, buffer, sizeof(buffer), &count), aErrEOF);
  aFile_Close(&a);
  EXPECT_EQ(ReadFile(path), "a\r\nb-007-XYZ");

  aFileRef created = aFile_Open(dir.file("new.log").c_str(), aFileModeAppend);
  ASSERT_NE(created, nullptr);
  aFile_Close(&created);
  EXPECT_TRUE(aFile_Exists(dir.file("new.log").c_str()));
}

TEST(aFile, ReadLineSplitsLinesThatDoNotFit) {
  TempDir dir;
  aFileRef f = OpenReadOnly(dir, "abcdefgh\nxyz\n\nlast");
  ASSERT_NE(f, nullptr);
  // A line that just fits and ends in a line feed is whole; "last" fills the
  // buffer too but the file ends there, so it is not cut either.
  const struct {
    aErr result;
    const char* text;
  } expected[] = {{aErrOverrun, "abcd"}, {aErrOverrun, "efgh"}, {aErrNone, "\n"}, {aErrNone, "xyz\n"},
                  {aErrNone, "\n"},       {aErrNone, "last"},    {aErrEOF, ""}};
  char line[5];
  size_t length = 99;
  for (const auto& e : expected) {
    SCOPED_TRACE(e.text);
    EXPECT_EQ(aFile_ReadLine(f, line, sizeof(line), &length), e.result);
    EXPECT_STREQ(line, e.text);
    EXPECT_EQ(length, strlen(e.text));
  }
  EXPECT_EQ(aFile_ReadLine(f, line, 1, &length), aErrParam);
  aFile_Close(&f);
}

TEST(aFile, SeekStaysWithinTheFile) {
  TempDir dir;
  std::string path;
  aFileRef f = OpenReadOnly(dir, "0123456789", &path);
  ASSERT_NE(f, nullptr);
  size_t size = 0, position = 0;
  EXPECT_EQ(aFile_GetSize(f, &size), aErrNone);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(aFile_Seek(f, 10, aSeekStart), aErrNone);  // exactly the end
  EXPECT_EQ(aFile_Seek(f, 11, aSeekStart), aErrRange);
  EXPECT_EQ(aFile_Seek(f, 1, aSeekEnd), aErrRange);
  EXPECT_EQ(aFile_Seek(f, -1, aSeekStart), aErrRange);
  EXPECT_EQ(aFile_Seek(f, -10, aSeekEnd), aErrNone);
  EXPECT_EQ(aFile_Seek(f, 4, aSeekCurrent), aErrNone);
  EXPECT_EQ(aFile_Seek(f, -5, aSeekCurrent), aErrRange);
  EXPECT_EQ(aFile_Seek(f, 6, aSeekCurrent), aErrNone);
  EXPECT_EQ(aFile_Seek(f, 1, aSeekCurrent), aErrRange);
  EXPECT_EQ(aFile_Seek(f, 0, 3), aErrParam);
  EXPECT_EQ(aFile_GetPosition(f, &position), aErrNone);
  EXPECT_EQ(position, 10u);
  EXPECT_EQ(aFile_Seek(f, -3, aSeekEnd), aErrNone);
  uint8_t b[4] = {0};
  size_t count = 0;
  EXPECT_EQ(aFile_Read(f, b, 4, &count), aErrNone);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(b[0], '7');
  EXPECT_EQ(aFile_GetSize(f, &size), aErrNone);  // the position does not move
  EXPECT_EQ(aFile_GetPosition(f, &position), aErrNone);
  EXPECT_EQ(position, 10u);
  aFile_Close(&f);

  // Buffered writes count towards the size.
  aFileRef w = aFile_Open(path.c_str(), aFileModeWriteOnly);
  ASSERT_NE(w, nullptr);
  aFile_Write(w, Bytes("abcde"), 5, nullptr);
  EXPECT_EQ(aFile_GetSize(w, &size), aErrNone);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(aFile_Seek(w, 5, aSeekStart), aErrNone);
  aFile_Close(&w);
}

TEST(aFile, ExistsAndDelete) {
  TempDir dir;
  std::string path = dir.file("gone.txt");
  ASSERT_TRUE(WriteFile(path, "x"));
  EXPECT_TRUE(aFile_Exists(path.c_str()));
  EXPECT_FALSE(aFile_Exists(dir.path().c_str()));  // a directory is not a file
  EXPECT_FALSE(aFile_Exists(nullptr));
  EXPECT_EQ(aFile_Delete(path.c_str()), aErrNone);
  EXPECT_FALSE(aFile_Exists(path.c_str()));
  EXPECT_EQ(aFile_Delete(path.c_str()), aErrNotFound);
  EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
  EXPECT_EQ(aFile_Delete(dir.path().c_str()), aErrIO);

  // Handles with a foreign marker are refused.
  size_t n = 0;
  EXPECT_EQ(aFile_Read(nullptr, nullptr, 0, &n), aErrParam);
  EXPECT_EQ(aFile_Write(nullptr, nullptr, 0, &n), aErrParam);
  EXPECT_EQ(aFile_Seek(nullptr, 0, aSeekStart), aErrParam);
  EXPECT_EQ(aFile_GetSize(nullptr, &n), aErrParam);
}

TEST(aFile, DeleteWithoutPermission) {
  if (!testsupport::IsRoot())
    GTEST_SKIP() << "needs root to try the deletion as another user";
  TempDir dir;  // owned by root, mode 0700
  std::string path = dir.file("kept.txt");
  ASSERT_TRUE(WriteFile(path, "x"));
  chmod(dir.path().c_str(), 0755);
  pid_t child = fork();
  if (child == 0) {
    if (setuid(65534) != 0)
      _exit(100);
    _exit(aFile_Delete(path.c_str()));
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), aErrPermission);
  EXPECT_TRUE(aFile_Exists(path.c_str()));
}
