// What sits behind an emulated HID device: the object that takes the host's
// output reports and hands back input reports. Called with the lab's lock held.
#pragma once
#include <cstdint>
#include <vector>

namespace lab {

class HidReportSink {
public:
  virtual ~HidReportSink() = default;
  // One output report as the host wrote it, report ID first; appends the input
  // reports (report ID first) that the device sends in answer.
  virtual void report(const std::vector<uint8_t>& bytes, std::vector<std::vector<uint8_t>>& replies) = 0;
};

// The report descriptor of the i.MX boot ROM's HID interface: output reports 1
// (16 bytes) and 2 (1024 bytes), input reports 3 (4 bytes) and 4 (64 bytes).
std::vector<uint8_t> BootRomReportDescriptor();

}  // namespace lab
