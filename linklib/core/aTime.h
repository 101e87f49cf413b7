// Millisecond ticks, sleeps and deadlines, all on the monotonic clock: a
// clock step (NTP, a user setting the date) neither stretches nor cuts a wait.
#pragma once
#include <stdint.h>
#include <time.h>

// Milliseconds of the monotonic clock (not the time of day). It and
// aTime_GetMonotonicUS only read the clock, so a signal handler may call them.
uint64_t aTime_GetMSTicks(void);
void aTime_MSSleep(unsigned long milliseconds);

// A point in monotonic time by which a wait must end: the one deadline type.
typedef struct aDeadline {
  uint64_t atUS;
} aDeadline;
// The deadline `milliseconds` from now.
aDeadline aDeadline_In(uint64_t milliseconds);
// True once the monotonic clock has reached the deadline.
bool aDeadline_Passed(aDeadline deadline);
// Milliseconds left, rounded up; 0 once passed.
uint64_t aDeadline_RemainingMS(aDeadline deadline);
// The deadline as an absolute CLOCK_MONOTONIC time, for waits that take one
// (condition variables set to that clock, clock_nanosleep).
struct timespec aDeadline_Timespec(aDeadline deadline);

// Microseconds of the monotonic clock, for pacing: it does not move when the
// wall clock is set.
uint64_t aTime_GetMonotonicUS(void);
// Sleeps until the monotonic clock reaches `deadlineUS`; returns at once when
// it has passed. Unlike a relative sleep, the time spent before the call does
// not add to the wait.
void aTime_SleepUntilMonotonicUS(uint64_t deadlineUS);
// Lets the calling thread's timed sleeps end close to their deadline; by
// default the kernel may add up to 50 microseconds to batch wake-ups.
void aTime_SetPreciseSleeps(void);

// Waits until the monotonic clock reaches `deadlineUS`, never returning
// before it, and ending closer to it than a plain sleep does: a wake-up comes
// some tens of microseconds late on a loaded or virtual machine, so the sleep
// aims that much early and the rest is watched on the clock. `marginUS` keeps
// the lateness learnt so far for one thread (start it at 0).
void aTime_PaceUntilMonotonicUS(uint64_t deadlineUS, uint32_t* marginUS);
// The sleep alone of the above: wakes about when the deadline comes (before it
// about half the time) without watching the clock, and learns the lateness
// into `marginUS` as the above does. For a thread with work to do before the
// deadline, whose own pace then waits out what is left.
void aTime_WakeNearMonotonicUS(uint64_t deadlineUS, uint32_t* marginUS);
