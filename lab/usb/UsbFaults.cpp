#include "usb/UsbFaults.h"

#include "Numbers.h"

namespace lab {

namespace {

struct Name {
  UsbFaultKind kind;
  const char* text;
};
const Name kNames[] = {{UsbFaultKind::StallOut, "stall-out"},
                       {UsbFaultKind::StallIn, "stall-in"},
                       {UsbFaultKind::Mute, "mute"},
                       {UsbFaultKind::Unplug, "unplug"},
                       {UsbFaultKind::Busy, "busy"}};

}  // namespace

const char* UsbFaultName(UsbFaultKind kind) {
  for (const Name& name : kNames)
    if (name.kind == kind)
      return name.text;
  return "?";
}

bool ParseUsbFault(const std::string& text, UsbFaultSpec& fault, std::string& error) {
  size_t at = text.find('@');
  std::string word = text.substr(0, at);
  fault = UsbFaultSpec();
  bool known = false;
  for (const Name& name : kNames)
    if (word == name.text) {
      fault.kind = name.kind;
      known = true;
    }
  if (!known) {
    error = "unknown USB fault '" + word + "'";
    return false;
  }
  if (at != std::string::npos) {
    uint64_t nth = 0;
    if (!ParseNumber(text.substr(at + 1), 10, 1000000, nth) || nth == 0) {
      error = "bad count in USB fault '" + text + "'";
      return false;
    }
    fault.nth = static_cast<unsigned>(nth);
  }
  return true;
}

bool UsbFaults::has(UsbFaultKind kind) const {
  for (const UsbFaultSpec& fault : faults_)
    if (fault.kind == kind)
      return true;
  return false;
}

bool UsbFaults::fired(UsbFaultKind kind) const {
  for (const UsbFaultSpec& fault : faults_) {
    if (fault.kind != kind)
      continue;
    unsigned count = kind == UsbFaultKind::StallIn ? ins_ : outs_;
    if (count == fault.nth)
      return true;
  }
  return false;
}

bool UsbFaults::muted() const {
  for (const UsbFaultSpec& fault : faults_)
    if (fault.kind == UsbFaultKind::Mute && outs_ >= fault.nth)
      return true;
  return false;
}

}  // namespace lab
