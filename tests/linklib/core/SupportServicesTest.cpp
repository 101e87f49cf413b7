// Logger thread, millisecond time and mutexes.
#include <gtest/gtest.h>

#include <errno.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "TestSupport.h"
#include "aLogger.h"
#include "aMutex.h"
#include "aTime.h"

namespace {

std::atomic<int> gCalls{0};
std::atomic<aLogger*> gSelf{nullptr};
std::atomic<int> gSelfDisable{-1};
std::atomic<int> gSelfDestroy{-1};

void cbWriteLine(aFileRef file, uint32_t reference) {
  int n = ++gCalls;
  if (n <= 3)
    aFile_Printf(file, "%u:%d\n", reference, n);
  aTime_MSSleep(1);
}

// Tries to stop and free its own logger from inside the worker.
void cbStopSelf(aFileRef, uint32_t) {
  if (gSelfDisable.load() == -1) {
    aLogger* self = gSelf.load();
    gSelfDisable = aLogger_Disable(self);
    gSelfDestroy = aLogger_Destroy(&self);
  }
  aTime_MSSleep(1);
}

}  // namespace

TEST(aLogger, WorkerCallsTheCallbackUntilDisabled) {
  testsupport::TempDir dir;
  std::string path = dir.file("packets.log");
  ASSERT_TRUE(testsupport::WriteFile(path, "earlier\n"));
  EXPECT_EQ(aLogger_Create(1, cbWriteLine, dir.file("no/such/dir.log").c_str()), nullptr);
  EXPECT_EQ(aLogger_Create(1, nullptr, path.c_str()), nullptr);

  gCalls = 0;
  aLogger* logger = aLogger_Create(42, cbWriteLine, path.c_str());
  ASSERT_NE(logger, nullptr);
  EXPECT_EQ(aLogger_Disable(logger), aErrNone);  // not running yet
  EXPECT_EQ(aLogger_Enable(logger), aErrNone);
  EXPECT_EQ(aLogger_Enable(logger), aErrNone);  // already running
  uint64_t start = aTime_GetMSTicks();
  while (gCalls.load() < 5 && aTime_GetMSTicks() - start < 2000)
    aTime_MSSleep(1);
  EXPECT_EQ(aLogger_Disable(logger), aErrNone);
  int stopped = gCalls.load();
  EXPECT_GE(stopped, 5);
  aTime_MSSleep(20);
  EXPECT_EQ(gCalls.load(), stopped);  // the worker really ended
  // The file is appended to and unbuffered: the lines are there before Destroy.
  EXPECT_EQ(testsupport::ReadFile(path), "earlier\n42:1\n42:2\n42:3\n");

  EXPECT_EQ(aLogger_Enable(logger), aErrNone);  // restartable
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
  EXPECT_EQ(logger, nullptr);
  EXPECT_EQ(aLogger_Destroy(&logger), aErrParam);
  EXPECT_EQ(aLogger_Enable(nullptr), aErrParam);
  EXPECT_EQ(aLogger_Disable(nullptr), aErrParam);
}

TEST(aLogger, WorkerCannotStopOrFreeItself) {
  testsupport::TempDir dir;
  gSelfDisable = -1;
  gSelfDestroy = -1;
  aLogger* logger = aLogger_Create(7, cbStopSelf, dir.file("self.log").c_str());
  ASSERT_NE(logger, nullptr);
  gSelf = logger;
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  uint64_t start = aTime_GetMSTicks();
  while (gSelfDestroy.load() == -1 && aTime_GetMSTicks() - start < 2000)
    aTime_MSSleep(1);
  EXPECT_EQ(gSelfDisable.load(), aErrNone);
  EXPECT_EQ(gSelfDestroy.load(), aErrBusy);
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
}

TEST(aTime, TicksFollowTheClockAndSleepsCrossSlices) {
  // Milliseconds of the monotonic clock: a clock step cannot move them.
  struct timespec mono;
  clock_gettime(CLOCK_MONOTONIC, &mono);
  uint64_t monoMS = static_cast<uint64_t>(mono.tv_sec) * 1000u + static_cast<uint64_t>(mono.tv_nsec) / 1000000u;
  uint64_t before = aTime_GetMSTicks();
  EXPECT_GE(before, monoMS);
  EXPECT_LT(before - monoMS, 50u);
  aTime_MSSleep(0);
  EXPECT_LT(aTime_GetMSTicks() - before, 50u);

  // 1100 ms needs a second slice; a lost remainder would return after 999 ms.
  auto t0 = std::chrono::steady_clock::now();
  aTime_MSSleep(1100);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(ms, 1100);
  EXPECT_LT(ms, 1400);
  uint64_t after = aTime_GetMSTicks();
  EXPECT_GE(after - before, 1099u);
}

// A deadline handed to a wait that takes an absolute time is the same instant
// on the monotonic clock: a condition wait set to that clock ends at it.
TEST(aDeadline, TimespecEndsAMonotonicConditionWaitOnTime) {
  aDeadline far = aDeadline_In(1500);
  struct timespec at = aDeadline_Timespec(far);
  EXPECT_LT(at.tv_nsec, 1000000000L);
  EXPECT_EQ(static_cast<uint64_t>(at.tv_sec) * 1000000u + static_cast<uint64_t>(at.tv_nsec) / 1000u, far.atUS);

  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_t cond;
  pthread_cond_init(&cond, &attr);
  pthread_condattr_destroy(&attr);
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  auto t0 = std::chrono::steady_clock::now();
  aDeadline soon = aDeadline_In(80);
  struct timespec until = aDeadline_Timespec(soon);
  pthread_mutex_lock(&mutex);
  int rc = 0;
  while (rc == 0)
    rc = pthread_cond_timedwait(&cond, &mutex, &until);
  pthread_mutex_unlock(&mutex);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(rc, ETIMEDOUT);
  EXPECT_TRUE(aDeadline_Passed(soon));
  EXPECT_GE(ms, 79);
  EXPECT_LT(ms, 500);
  pthread_cond_destroy(&cond);
}

// The pacing wait aims early by what it learnt of its wake-ups; whatever it
// learns, it must never give back a deadline that has not come.
TEST(aTime, PacingNeverEndsBeforeItsDeadline) {
  uint32_t margin = 0;
  for (int i = 0; i < 200; i++) {
    uint64_t deadline = aTime_GetMonotonicUS() + 300;
    aTime_PaceUntilMonotonicUS(deadline, &margin);
    ASSERT_GE(aTime_GetMonotonicUS(), deadline) << "round " << i << ", margin " << margin;
  }
  EXPECT_LE(margin, 200u);
  // A deadline already gone teaches nothing.
  uint32_t kept = margin;
  aTime_PaceUntilMonotonicUS(aTime_GetMonotonicUS() - 1, &margin);
  EXPECT_EQ(margin, kept);
  // A margin larger than the wait (as after a long stall) still waits it out.
  margin = 200;
  uint64_t deadline = aTime_GetMonotonicUS() + 50;
  aTime_PaceUntilMonotonicUS(deadline, &margin);
  EXPECT_GE(aTime_GetMonotonicUS(), deadline);
}

TEST(aMutex, NamesLockingAndOwnership) {
  std::string name255(255, 'n');
  aMutex* named = aMutex_Create(name255.c_str());
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(aMutex_Identifier(named), name255);
  EXPECT_EQ(aMutex_Destroy(&named), aErrNone);
  EXPECT_EQ(named, nullptr);
  EXPECT_EQ(aMutex_Create(std::string(256, 'n').c_str()), nullptr);

  aMutex* m = aMutex_Create(nullptr);
  ASSERT_NE(m, nullptr);
  EXPECT_STREQ(aMutex_Identifier(m), "");
  EXPECT_EQ(aMutex_Unlock(m), aErrPermission);  // not held
  EXPECT_EQ(aMutex_Lock(m), aErrNone);
  EXPECT_EQ(aMutex_Lock(m), aErrDuplicate);  // not recursive: the system reports the deadlock
  EXPECT_EQ(aMutex_TryLock(m), aErrBusy);

  std::atomic<int> otherTry{-1}, otherUnlock{-1};
  std::thread other([&] {
    otherTry = aMutex_TryLock(m);
    otherUnlock = aMutex_Unlock(m);
  });
  other.join();
  EXPECT_EQ(otherTry.load(), aErrBusy);
  EXPECT_EQ(otherUnlock.load(), aErrPermission);  // held by this thread, not that one

  EXPECT_EQ(aMutex_Destroy(&m), aErrBusy);  // locked, but freed all the same
  EXPECT_EQ(m, nullptr);

  aMutex* free = aMutex_Create("free");
  EXPECT_EQ(aMutex_TryLock(free), aErrNone);
  EXPECT_EQ(aMutex_Unlock(free), aErrNone);
  EXPECT_EQ(aMutex_Destroy(&free), aErrNone);
  EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
}
