// The boot ROM's Serial Download Protocol over USB HID (hidapi): report 1
// commands and report 2 data out, report 3 (security mode) and report 4
// (response) in.
#pragma once
#include <cstdint>
#include <vector>

#include "recovery/imx/SDPLoader.h"

struct hid_device_;

class HID_SDPLoader : public SDPLoader_Interface {
public:
  HID_SDPLoader(uint16_t vendor, uint16_t product);
  ~HID_SDPLoader() override;
  HID_SDPLoader(const HID_SDPLoader&) = delete;
  HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

  bool init() override;
  ssize_t writeData(const std::vector<uint8_t>& packet) override;
  // Reads reports until one read times out; a report 3 counts as 5 bytes.
  ssize_t readData(std::vector<uint8_t>& reply, unsigned timeout_ms) override;
  // Only a reply of report 3 and one report 4 (70 bytes) holds a word.
  bool getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned offset, unsigned& value) override;
  bool accessDenied() const override { return denied; }

private:
  hid_device_* handle = nullptr;
  bool denied = false;
  uint16_t vendor;
  uint16_t product;
};
