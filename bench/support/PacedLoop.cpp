#include "PacedLoop.h"

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <vector>

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
  std::vector<double> late;
  for (size_t i = 0; i < std::min<size_t>(frames, 1000); i++) {
    const uint64_t deadline = aTime_GetMonotonicUS() + 1000;
    aTime_SleepUntilMonotonicUS(deadline);
    late.push_back(static_cast<double>(aTime_GetMonotonicUS() - deadline));
  }
  std::sort(late.begin(), late.end());
  figures.lateMedianUs = late[late.size() / 2];
  figures.late95Us = late[late.size() * 95 / 100];
  return figures;
}

}  // namespace bench
