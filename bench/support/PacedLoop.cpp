#include "PacedLoop.h"

#include <time.h>

#include "aTime.h"

namespace bench {

namespace {

double sThreadCpuUs() {
  struct timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

}  // namespace

PacedLoopFigures MeasurePacedLoop(size_t frames) {
  PacedLoopFigures figures;
  if (frames == 0) return figures;
  aTime_SetPreciseSleeps();
  uint32_t margin = 0;
  uint64_t start = aTime_GetMonotonicUS();
  uint64_t frameStart = start;
  double cpuBefore = sThreadCpuUs();
  for (size_t i = 0; i < frames; i++) {
    aTime_PaceUntilMonotonicUS(frameStart + 1000, &margin);
    frameStart = aTime_GetMonotonicUS();
  }
  figures.ratio = frames * 1000.0 / static_cast<double>(frameStart - start);
  figures.cpuUsPerWake = (sThreadCpuUs() - cpuBefore) / static_cast<double>(frames);
  return figures;
}

}  // namespace bench
