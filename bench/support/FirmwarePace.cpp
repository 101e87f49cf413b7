#include "FirmwarePace.h"

#include <algorithm>

namespace bench {

namespace {

const uint8_t kUpgrade = 0x5F, kLoad = 0x02, kPrepare = 0x03, kWrite = 0x05;

bool sIsUpgrade(const CapturedFrame& f, uint8_t option) {
  return f.data.size() >= 2 && f.data[0] == kUpgrade && f.data[1] == option;
}

}  // namespace

Pace FirmwarePace(const std::vector<CapturedFrame>& frames) {
  Pace pace;
  size_t first = frames.size(), last = frames.size();
  for (size_t i = 0; i < frames.size(); i++) {
    if (sIsUpgrade(frames[i], kLoad)) first = last = frames.size();
    if (sIsUpgrade(frames[i], kPrepare) && first == frames.size()) first = i;
    if (sIsUpgrade(frames[i], kWrite) && first != frames.size()) last = i;
  }
  if (first >= last || last == frames.size()) return pace;
  std::vector<double> gaps;
  for (size_t i = first + 1; i <= last; i++) gaps.push_back(frames[i].ms - frames[i - 1].ms);
  std::sort(gaps.begin(), gaps.end());
  pace.frames = last - first + 1;
  pace.ms = frames[last].ms - frames[first].ms + kPaceMs;
  pace.ratio = pace.frames * kPaceMs / pace.ms;
  pace.medianGapMs = gaps[gaps.size() / 2];
  pace.p99GapMs = gaps[gaps.size() * 99 / 100];
  pace.minGapMs = gaps.front();
  pace.underPace = static_cast<size_t>(std::lower_bound(gaps.begin(), gaps.end(), kPaceMs) - gaps.begin());
  return pace;
}

std::map<uint16_t, std::vector<CapturedFrame>> FramesByPort(const std::vector<CapturedFrame>& frames) {
  std::map<uint16_t, std::vector<CapturedFrame>> byPort;
  for (const CapturedFrame& frame : frames) byPort[frame.port].push_back(frame);
  return byPort;
}

FleetPace FirmwarePaceOfFleet(const std::vector<CapturedFrame>& frames) {
  std::vector<double> ratios;
  for (const auto& port : FramesByPort(frames)) {
    Pace pace = FirmwarePace(port.second);
    if (pace.frames > 0) ratios.push_back(pace.ratio);
  }
  FleetPace fleet;
  if (ratios.empty()) return fleet;
  std::sort(ratios.begin(), ratios.end());
  fleet.modules = ratios.size();
  fleet.median = ratios[(ratios.size() - 1) / 2];
  fleet.slowest = ratios.front();
  return fleet;
}

}  // namespace bench
