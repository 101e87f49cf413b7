// How closely an update's firmware frames kept to the link's pace, from frames seen on the wire.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "FrameCapture.h"

namespace bench {

const double kPaceMs = 1.0;

struct Pace {
  size_t frames = 0;
  double ms = 0;
  double ratio = 0;
  double medianGapMs = 0;
  double p99GapMs = 0;  // the slow tail that the median hides: where a loaded machine loses pace
  double minGapMs = 0;
  size_t underPace = 0;  // gaps seen on the wire shorter than the pace
};

// The firmware transfer runs from the first PREPARE after the last LOAD to the last WRITE;
// n frames there take n pace slots at best.
Pace FirmwarePace(const std::vector<CapturedFrame>& frames);

// Several modules' transfers, one a port.
struct FleetPace {
  size_t modules = 0;   // ports whose firmware transfer was seen
  double median = 0;    // the median module's ratio (the slower middle one of an even count)
  double slowest = 0;   // the slowest module's ratio
};

// Each port's frames, in the order they were sent.
std::map<uint16_t, std::vector<CapturedFrame>> FramesByPort(const std::vector<CapturedFrame>& frames);
FleetPace FirmwarePaceOfFleet(const std::vector<CapturedFrame>& frames);

}  // namespace bench
