#include "usb/UsbModuleLink.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "Bytes.h"
#include "sim/ModuleHost.h"

namespace lab {

void UsbModuleLink::claimed() {
  reader_.reset();
  queue_.clear();
  module_.linkOpened(LabNowMs());
}

void UsbModuleLink::released() {
  module_.linkClosed();
  reader_.reset();
  queue_.clear();
}

void UsbModuleLink::received(const uint8_t* bytes, size_t count) {
  trace("<", bytes, count);
  std::vector<SimFrame> frames;
  reader_.feed(bytes, count, frames);
  uint64_t now = LabNowMs();
  for (const SimFrame& frame : frames) {
    SimOutput out;
    module_.receive(frame, now, out);
    apply(out);
    if (leave_ || reset_)
      break;  // the rest of the bytes went with the link
  }
}

void UsbModuleLink::take(size_t max, std::vector<uint8_t>& out) {
  size_t n = std::min(max, queue_.size());
  out.assign(queue_.begin(), queue_.begin() + static_cast<long>(n));
  queue_.erase(queue_.begin(), queue_.begin() + static_cast<long>(n));
  trace(">", out.data(), out.size());
}

void UsbModuleLink::tick(uint64_t nowMs) {
  SimOutput out;
  module_.tick(nowMs, out);
  apply(out);
}

bool UsbModuleLink::takeLeave() {
  bool leave = leave_;
  leave_ = false;
  return leave;
}

bool UsbModuleLink::takeReset() {
  bool reset = reset_;
  reset_ = false;
  return reset;
}

void UsbModuleLink::apply(SimOutput& out) {
  for (const std::string& note : out.notes)
    std::fprintf(stderr, "%s\n", note.c_str());
  queue_.insert(queue_.end(), out.bytes.begin(), out.bytes.end());
  if (out.reboot)
    leave_ = true;
  else if (out.dropLink)
    reset_ = true;
}

void UsbModuleLink::trace(const char* direction, const uint8_t* bytes, size_t count) const {
  if (!verbose_ || count == 0)
    return;
  std::fprintf(stderr, "%08X usb %s%s\n", module_.serial(), direction, HexBytes(bytes, count).c_str());
}

}  // namespace lab
