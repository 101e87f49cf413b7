#include "aTime.h"

#include <errno.h>
#include <sys/prctl.h>
#include <sys/time.h>
#include <time.h>

uint64_t aTime_GetMSTicks(void) {
  struct timeval tv;
  if (gettimeofday(&tv, nullptr) != 0)
    return 0;
  return static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
}

void aTime_MSSleep(unsigned long milliseconds) {
  // Slices of at most 999,999 microseconds, as nanosleep wants a normalised value.
  unsigned long long remaining = static_cast<unsigned long long>(milliseconds) * 1000ull;
  while (remaining > 0) {
    unsigned long long slice = remaining > 999999ull ? 999999ull : remaining;
    struct timespec ts;
    ts.tv_sec = 0;
    ts.tv_nsec = static_cast<long>(slice * 1000ull);
    while (nanosleep(&ts, &ts) != 0) {
    }
    remaining -= slice;
  }
}

uint64_t aTime_GetMonotonicUS(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

void aTime_SleepUntilMonotonicUS(uint64_t deadlineUS) {
  if (aTime_GetMonotonicUS() >= deadlineUS)
    return;
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(deadlineUS / 1000000u);
  ts.tv_nsec = static_cast<long>(deadlineUS % 1000000u) * 1000L;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

void aTime_SetPreciseSleeps(void) { prctl(PR_SET_TIMERSLACK, 1000ul, 0, 0, 0); }
