#include "aTime.h"

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
