#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "RecordingDisplay.h"
#include "TestSupport.h"
#include "store/StoreLock.h"
#include "store/UpdaterStore.h"

using testsupport::ReadFile;
using testsupport::TempDir;

// Another process holding the entry: the wait names it after a quiet second,
// ends when it lets go, and the lock file then names this process. The same
// process taking the entry again (an update that downloads a missing build)
// must not wait on itself.
TEST(StoreLock, WaitsForAnotherProcessAndNamesItButNeverForItself) {
  TempDir home;
  UpdaterStore store(home.path());
  UpdaterStoreItem item = store.AddDevice(0xBEEFu);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  if (child == 0) {
    StoreLock held = StoreLock::ForEntry(item.Path(), nullptr);
    if (write(ready[1], "x", 1) != 1)
      _exit(2);
    usleep(1500 * 1000);
    _exit(held.Held() ? 0 : 1);
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);

  RecordingDisplay display;
  {
    StoreLock entry = StoreLock::ForEntry(item.Path(), &display);
    EXPECT_TRUE(entry.Held());
    EXPECT_TRUE(entry.Waited());
    ASSERT_EQ(display.Infos().size(), 1u);
    std::string expected = "The store entry of module 0000BEEF is being changed by process " + std::to_string(child) +
                           " (test_UpdaterLib";
    EXPECT_EQ(display.Infos()[0].find(expected), 0u) << display.Infos()[0];
    EXPECT_NE(display.Infos()[0].find("); waiting"), std::string::npos);
    EXPECT_EQ(ReadFile(StoreLock::EntryLockPath(item.Path())).find(std::to_string(getpid()) + "\ntest_UpdaterLib"),
              0u);

    item.settings.Add(UpdaterStoreItem::KEY_LATEST_DOWNLOAD, "18.bird");
    EXPECT_TRUE(item.SaveSettings(&display));
    StoreLock again = StoreLock::ForEntry(item.Path(), &display);
    EXPECT_FALSE(again.Waited());
    EXPECT_TRUE(StoreLock::HeldHere(StoreLock::EntryLockPath(item.Path())));
  }
  EXPECT_FALSE(StoreLock::HeldHere(StoreLock::EntryLockPath(item.Path())));
  EXPECT_EQ(ReadFile(StoreLock::EntryLockPath(item.Path())), "");
  EXPECT_EQ(display.Infos().size(), 1u);
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(ready[0]);
  close(ready[1]);
}
