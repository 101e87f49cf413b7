// The boot ROM's Serial Download Protocol over a UART: commands and data go
// out raw (without the HID report ID); replies are a 4-byte security-mode
// word followed by the response word or data.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "recovery/SDPLoader.h"

class PrivateSerial_SDPLoader;

class Serial_SDPLoader : public SDPLoader_Interface {
public:
  // A write that makes no progress for this long is given up.
  static constexpr unsigned kWriteStallMS = 1000;

  explicit Serial_SDPLoader(const std::string& port);
  ~Serial_SDPLoader() override;
  Serial_SDPLoader(const Serial_SDPLoader&) = delete;
  Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

  // 115200 8N1, raw; false when the path does not open or is not a terminal.
  bool init() override;
  // Returns the bytes written: the packet less its report ID, or fewer when the port stalled or failed.
  ssize_t writeData(const std::vector<uint8_t>& packet) override;
  // Waits timeout_ms, then takes what has arrived.
  ssize_t readData(std::vector<uint8_t>& reply, unsigned timeout_ms) override;
  bool getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned offset, unsigned& value) override;

private:
  std::unique_ptr<PrivateSerial_SDPLoader> d;
};
