#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "TestSupport.h"
#include "aDirectory.h"

using testsupport::TempDir;

TEST(aDirectory, BuildPathInsertsOneSeparatorOnlyWhereMissing) {
  char buf[64];
  const char* expected = "/a/b";
  EXPECT_EQ(aDirectory_JoinPath(buf, sizeof(buf), "/a/", "b"), aErrNone);
  EXPECT_STREQ(buf, expected);
  EXPECT_EQ(aDirectory_JoinPath(buf, sizeof(buf), "/a", "/b"), aErrNone);
  EXPECT_STREQ(buf, expected);
  EXPECT_EQ(aDirectory_JoinPath(buf, sizeof(buf), "/a", "b"), aErrNone);
  EXPECT_STREQ(buf, expected);
  EXPECT_EQ(aDirectory_BuildPath(buf, sizeof(buf), "x", "y/", "z", "", (const char*)nullptr), aErrNone);
  EXPECT_STREQ(buf, "x/y/z/");
}

TEST(aDirectory, BuildPathRefusesBadArgumentsWithEmptyBuffer) {
  char buf[64];
  const char* c = "c";
  strcpy(buf, "junk");
  EXPECT_EQ(aDirectory_BuildPath(buf, sizeof(buf), "a", c, c, c, c, c, c, c, c, c, c, c, (const char*)nullptr),
            aErrParam);
  EXPECT_STREQ(buf, "");
  // Ten further components are still fine.
  EXPECT_EQ(aDirectory_BuildPath(buf, sizeof(buf), "a", c, c, c, c, c, c, c, c, c, c, (const char*)nullptr),
            aErrNone);
  EXPECT_STREQ(buf, "a/c/c/c/c/c/c/c/c/c/c");
  // The buffer may not double as a component.
  EXPECT_EQ(aDirectory_JoinPath(buf, sizeof(buf), "a", buf), aErrParam);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(aDirectory_JoinPath(nullptr, 10, "a", "b"), aErrParam);
  EXPECT_EQ(aDirectory_JoinPath(buf, sizeof(buf), nullptr, "b"), aErrParam);
}

TEST(aDirectory, BuildPathOverrunKeepsWhatWasJoined) {
  char buf[8];
  // A first component of size - 1 characters is already refused.
  EXPECT_EQ(aDirectory_JoinPath(buf, sizeof(buf), "1234567", "b"), aErrOverrun);
  EXPECT_EQ(aDirectory_JoinPath(buf, sizeof(buf), "123456", nullptr), aErrNone);
  EXPECT_STREQ(buf, "123456");
  EXPECT_EQ(aDirectory_BuildPath(buf, sizeof(buf), "ab", "cd", "efgh", (const char*)nullptr), aErrOverrun);
  EXPECT_STREQ(buf, "ab/cd");
  EXPECT_EQ(aDirectory_JoinPath(buf, sizeof(buf), "ab", "cd"), aErrNone);
  EXPECT_STREQ(buf, "ab/cd");
  char none[1];
  EXPECT_EQ(aDirectory_JoinPath(none, 0, "a", "b"), aErrOverrun);
}

TEST(aDirectory, EnsureCreatesMissingLevelsAndRefusesFiles) {
  TempDir tmp;
  std::string deep = tmp.path() + "//l2/l3/l4";
  EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);
  EXPECT_TRUE(aDirectory_Exists((tmp.path() + "/l2/l3/l4").c_str()));
  struct stat info;
  ASSERT_EQ(stat((tmp.path() + "/l2/l3").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0755u);
  EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);  // already there

  ASSERT_TRUE(testsupport::WriteFile(tmp.file("file"), "x"));
  EXPECT_EQ(aDirectory_Ensure((tmp.path() + "/file/l3/l4").c_str(), 0755), aErrPermission);
  EXPECT_FALSE(aDirectory_Exists((tmp.path() + "/file/l3").c_str()));
  // A plain file at the very end is no directory either.
  EXPECT_EQ(aDirectory_Ensure(tmp.file("file").c_str(), 0755), aErrPermission);
  EXPECT_FALSE(aDirectory_Exists(tmp.file("file").c_str()));
  EXPECT_FALSE(aDirectory_Exists(nullptr));
}

struct Seen {
  std::map<std::string, std::pair<uint32_t, int>> entries;
  size_t stopAfter = 1000;
};

static bool cbRecord(const aDirectoryListData* data, void* user) {
  Seen* seen = static_cast<Seen*>(user);
  seen->entries[data->path] = {data->size, data->isDirectory};
  return seen->entries.size() < seen->stopAfter;
}

TEST(aDirectory, ListReportsEveryEntryAndStopsOnRequest) {
  TempDir tmp;
  ASSERT_TRUE(testsupport::WriteFile(tmp.file("five"), "12345"));
  ASSERT_EQ(mkdir(tmp.file("sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink("/nonexistent-target", tmp.file("dangling").c_str()), 0);
  Seen seen;
  EXPECT_EQ(aDirectory_List(tmp.path().c_str(), cbRecord, &seen), aErrNone);
  // The dangling link cannot be queried and is skipped.
  ASSERT_EQ(seen.entries.size(), 4u);
  EXPECT_EQ(seen.entries[tmp.file("five")], std::make_pair(5u, 0));
  EXPECT_EQ(seen.entries[tmp.file("sub")].second, 1);
  EXPECT_EQ(seen.entries.count(tmp.file(".")), 1u);
  EXPECT_EQ(seen.entries.count(tmp.file("..")), 1u);

  Seen first;
  first.stopAfter = 1;
  EXPECT_EQ(aDirectory_List(tmp.path().c_str(), cbRecord, &first), aErrNone);
  EXPECT_EQ(first.entries.size(), 1u);
  EXPECT_EQ(aDirectory_List(tmp.file("missing").c_str(), cbRecord, &seen), aErrNotFound);
}

TEST(aDirectory, DeleteAndDeleteTree) {
  TempDir tmp;
  TempDir outside;
  ASSERT_TRUE(testsupport::WriteFile(outside.file("keep"), "k"));
  std::string root = tmp.file("root");
  ASSERT_EQ(aDirectory_Ensure((root + "/a/b").c_str(), 0755), aErrNone);
  ASSERT_TRUE(testsupport::WriteFile(root + "/a/b/f", "1"));
  ASSERT_TRUE(testsupport::WriteFile(root + "/g", "2"));
  ASSERT_EQ(symlink(outside.path().c_str(), (root + "/link").c_str()), 0);

  EXPECT_EQ(aDirectory_Delete(root.c_str()), aErrUnknown);  // not empty
  EXPECT_EQ(aDirectory_DeleteTree(root.c_str()), aErrNone);
  EXPECT_FALSE(aDirectory_Exists(root.c_str()));
  // The link was removed, not followed.
  EXPECT_EQ(testsupport::ReadFile(outside.file("keep")), "k");
  EXPECT_EQ(aDirectory_DeleteTree(root.c_str()), aErrNotFound);

  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  EXPECT_EQ(aDirectory_Delete(root.c_str()), aErrNone);
  EXPECT_EQ(aDirectory_Delete(root.c_str()), aErrUnknown);
}

TEST(aDirectory, ProcessPathsAreBoundedAndTerminated) {
  char cwd[4096];
  ASSERT_EQ(aDirectory_CWD(cwd, sizeof(cwd)), aErrNone);
  char expected[4096];
  ASSERT_NE(getcwd(expected, sizeof(expected)), nullptr);
  EXPECT_STREQ(cwd, expected);
  char tiny[2];
  EXPECT_EQ(aDirectory_CWD(tiny, sizeof(tiny)), aErrParam);

  char exe[4096];
  ASSERT_EQ(aDirectory_ExecutableFilePath(exe, sizeof(exe)), aErrNone);
  ssize_t n = readlink("/proc/self/exe", expected, sizeof(expected) - 1);
  ASSERT_GT(n, 4);
  expected[n] = '\0';
  EXPECT_STREQ(exe, expected);
  char cut[5];
  memset(cut, 'x', sizeof(cut));
  EXPECT_EQ(aDirectory_ExecutableFilePath(cut, sizeof(cut)), aErrNone);
  EXPECT_EQ(std::string(cut), std::string(expected, 4));
}

TEST(aDirectory, HomeDirectoryComesFromUserDatabaseAndNeverOverflows) {
  struct passwd* pw = getpwuid(getuid());
  ASSERT_NE(pw, nullptr);
  char home[2048];
  EXPECT_EQ(aDirectory_GetHomeDirectory(home, sizeof(home)), aErrNone);
  EXPECT_STREQ(home, pw->pw_dir);

  // Too small a buffer gives an empty, terminated text rather than a cut path.
  char small[3];
  memset(small, 'x', sizeof(small));
  EXPECT_NE(aDirectory_GetHomeDirectory(small, sizeof(small)), aErrNone);
  EXPECT_STREQ(small, "");
  EXPECT_EQ(aDirectory_GetHomeDirectory(nullptr, 10), aErrParam);
}
