// A lab module behind a USB device's bulk endpoints: OUT bytes become frames
// for the module, its replies and heartbeats wait for the host's IN transfers.
// A reboot or a loader that leaves its link, and a dropped link, are left for
// the owner to turn into bus events.
#pragma once
#include <deque>

#include "sim/Frame.h"
#include "sim/Module.h"
#include "usb/UsbFunction.h"

namespace lab {

class UsbModuleLink : public UsbFunction {
public:
  UsbModuleLink(SimModule& module, bool verbose) : module_(module), verbose_(verbose) {}

  void claimed() override;
  void released() override;
  void received(const uint8_t* bytes, size_t count) override;
  size_t waiting() const override { return queue_.size(); }
  void take(size_t max, std::vector<uint8_t>& out) override;

  void tick(uint64_t nowMs);
  // The module went offline (reboot, or a loader leaving): the device leaves the bus.
  bool takeLeave();
  // The module dropped its link: the device resets (leaves and comes straight back).
  bool takeReset();

private:
  void apply(SimOutput& out);
  void trace(const char* direction, const uint8_t* bytes, size_t count) const;

  SimModule& module_;
  bool verbose_;
  SimFrameReader reader_;
  std::deque<uint8_t> queue_;
  bool leave_ = false;
  bool reset_ = false;
};

}  // namespace lab
