// USB's own fault knobs of an emulated module, on top of the module's.
#pragma once
#include <string>
#include <vector>

namespace lab {

enum class UsbFaultKind {
  StallOut,  // the nth bulk OUT transfer stalls; the endpoint stays halted until cleared
  StallIn,   // the same for the nth bulk IN transfer that would carry data
  Mute,      // from the nth bulk OUT transfer on, no transfer on either endpoint completes
  Unplug,    // the device leaves the bus during the nth bulk OUT transfer and stays away
  Busy,      // the interface is claimed by someone else
};

struct UsbFaultSpec {
  UsbFaultKind kind = UsbFaultKind::Busy;
  unsigned nth = 1;
};

// "stall-out@N", "stall-in@N", "mute@N", "unplug@N", "busy".
bool ParseUsbFault(const std::string& text, UsbFaultSpec& fault, std::string& error);
const char* UsbFaultName(UsbFaultKind kind);

// Counts bulk transfers and tells which knob fires on the current one.
class UsbFaults {
public:
  explicit UsbFaults(const std::vector<UsbFaultSpec>& faults) : faults_(faults) {}
  bool has(UsbFaultKind kind) const;
  // Call once per bulk OUT (or data-carrying IN) transfer, then ask fired().
  void onOut() { ++outs_; }
  void onIn() { ++ins_; }
  bool fired(UsbFaultKind kind) const;
  // Mute holds from its transfer on.
  bool muted() const;

private:
  std::vector<UsbFaultSpec> faults_;
  unsigned outs_ = 0;
  unsigned ins_ = 0;
};

}  // namespace lab
