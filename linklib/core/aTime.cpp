#include "aTime.h"

#include <errno.h>
#include <sys/prctl.h>
#include <time.h>

uint64_t aTime_GetMSTicks(void) { return aTime_GetMonotonicUS() / 1000u; }

aDeadline aDeadline_In(uint64_t milliseconds) { return aDeadline{aTime_GetMonotonicUS() + milliseconds * 1000u}; }

bool aDeadline_Passed(aDeadline deadline) { return aTime_GetMonotonicUS() >= deadline.atUS; }

uint64_t aDeadline_RemainingMS(aDeadline deadline) {
  uint64_t now = aTime_GetMonotonicUS();
  return now >= deadline.atUS ? 0 : (deadline.atUS - now + 999u) / 1000u;
}

struct timespec aDeadline_Timespec(aDeadline deadline) {
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(deadline.atUS / 1000000u);
  ts.tv_nsec = static_cast<long>(deadline.atUS % 1000000u) * 1000L;
  return ts;
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
  struct timespec ts = aDeadline_Timespec(aDeadline{deadlineUS});
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

void aTime_SetPreciseSleeps(void) { prctl(PR_SET_TIMERSLACK, 1000ul, 0, 0, 0); }

// The margin follows the median lateness of the wake-ups: half of them then
// come before the deadline and watch the clock for the few microseconds left,
// the other half are late by much less than a plain sleep would be. Its bound
// keeps a thread that was once held up for long from spinning for long.
#define aTIME_PACE_MARGIN_MAX_US 200u

void aTime_WakeNearMonotonicUS(uint64_t deadlineUS, uint32_t* marginUS) {
  uint64_t now = aTime_GetMonotonicUS();
  uint32_t margin = marginUS ? *marginUS : 0;
  if (now >= deadlineUS || deadlineUS - now <= margin)
    return;
  uint64_t wakeUS = deadlineUS - margin;
  aTime_SleepUntilMonotonicUS(wakeUS);
  now = aTime_GetMonotonicUS();
  if (marginUS && now - wakeUS > margin && margin < aTIME_PACE_MARGIN_MAX_US)
    (*marginUS)++;
  else if (marginUS && now - wakeUS < margin && margin > 0)
    (*marginUS)--;
}

void aTime_PaceUntilMonotonicUS(uint64_t deadlineUS, uint32_t* marginUS) {
  aTime_WakeNearMonotonicUS(deadlineUS, marginUS);
  uint64_t now = aTime_GetMonotonicUS();
  while (now < deadlineUS)
    now = aTime_GetMonotonicUS();
}
