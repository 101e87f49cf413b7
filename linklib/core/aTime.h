// Millisecond wall-clock ticks and sleeps.
#pragma once
#include <stdint.h>

// Milliseconds of the time of day; 0 when the clock cannot be read.
uint64_t aTime_GetMSTicks(void);
void aTime_MSSleep(unsigned long milliseconds);

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
