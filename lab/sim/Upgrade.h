// Module side of the firmware-upgrade command (command byte 0x5F): the loader
// and firmware images a simulated module holds, and its replies.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "LabConfig.h"
#include "sim/Faults.h"

namespace lab {

constexpr uint8_t kCmdUpgrade = 0x5F;

// Memory written by WRITE: bytes from the lowest address written, gaps 0xFF.
struct SimImage {
  uint32_t base = 0;
  std::vector<uint8_t> bytes;

  // False when the write would make the image span more than 64 MB.
  bool write(uint32_t address, const uint8_t* data, size_t count);
};

// Build and version found in a copy of the 64-byte BIRD information block that
// the image carries (build digits, version text, 8 hex serial digits, model name).
struct SimImageInfo {
  bool found = false;
  uint32_t build = 0;
  bool hasVersion = false;
  uint32_t version = 0;
  uint32_t serial = 0;  // the 8 hex digits
};
SimImageInfo FindImageInfo(const std::vector<uint8_t>& image);

class SimUpgrade {
public:
  explicit SimUpgrade(const ModuleConfig& config);

  // Step name of an upgrade request, for the fault knobs.
  static std::string StepName(const std::vector<uint8_t>& request);

  // One request; `reply` receives the reply data (left empty when none is due).
  void handle(const std::vector<uint8_t>& request, const SimFaults& faults, std::vector<uint8_t>& reply);

  bool rebootRequested() const { return rebootRequested_; }
  // The old-build and never-back knobs: what the REBOOT just requested leads to.
  bool bootsNewImage() const { return firmwareWritten_ && !bootsOldImage_; }
  bool staysAway() const { return staysAway_; }
  // A LOAD reply held back for the next link (the late-load-reply knob).
  bool takeLateLoadReply(std::vector<uint8_t>& reply);
  // After a reboot the upgrade session is over; the images stay.
  void restart();

  const SimImage& firmware() const { return firmware_; }
  const std::vector<uint8_t>& loader() const { return loader_; }
  bool loaderStarted() const { return loaderStarted_; }
  bool firmwareWritten() const { return firmwareWritten_; }
  uint32_t writes() const { return writes_; }

private:
  void init(std::vector<uint8_t>& reply);
  void prepare(const std::vector<uint8_t>& request, const SimFaults& faults, std::vector<uint8_t>& reply);
  void data(const std::vector<uint8_t>& request, const SimFaults& faults, std::vector<uint8_t>& reply);
  void sum(const SimFaults& faults, std::vector<uint8_t>& reply);
  void writeBlock(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply);
  void load(const SimFaults& faults, std::vector<uint8_t>& reply);
  void reboot(const SimFaults& faults);
  void clearPending();

  uint16_t blockSize_;
  uint32_t loadBase_;
  bool loaderPhase_ = false;  // between INIT and LOAD: accepted data is loader code
  bool loaderStarted_ = false;
  bool prepared_ = false;
  uint32_t target_ = 0;
  uint32_t writeOffset_ = 0;
  std::vector<uint8_t> pending_;  // accepted since the last PREPARE or WRITE
  uint32_t sum_ = 0;
  std::vector<uint8_t> loader_;
  SimImage firmware_;
  bool firmwareWritten_ = false;
  uint32_t writes_ = 0;
  bool rebootRequested_ = false;
  bool lateLoadReply_ = false;
  bool bootsOldImage_ = false;
  bool staysAway_ = false;
};

// Writes bytes to DIR/NAME through a temporary file, so readers never see half a file.
bool WriteDumpFile(const std::string& dir, const std::string& name, const std::vector<uint8_t>& bytes);

}  // namespace lab
