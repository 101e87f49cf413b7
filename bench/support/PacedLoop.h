// What the machine itself allows: one thread that does nothing but wait out a
// 1 ms pace, with the link engine's own pacing wait. Its throughput ratio is
// the most any paced transfer can reach on this machine (late wake-ups of a
// virtual CPU are never made up), and its CPU cost per wake-up is what every
// timed wait of a frame costs here.
#pragma once
#include <cstddef>

namespace bench {

struct PacedLoopFigures {
  double ratio = 0;        // frames x 1 ms over the time they took
  double cpuUsPerWake = 0;  // the thread's CPU time per paced frame
  // How late a plain timed sleep of 1 ms wakes (microseconds, median and 95th
  // percentile): what the pacing wait makes up by watching the clock.
  double lateMedianUs = 0;
  double late95Us = 0;
};

PacedLoopFigures MeasurePacedLoop(size_t frames);

}  // namespace bench
