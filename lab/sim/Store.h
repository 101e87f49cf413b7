// The stores of a simulated module: numbered slots with capacities, read and
// written through an open / transfer / close handshake (command 4), and
// factory data items written and read in runs of packets (command 0x5E).
#pragma once
#include <cstdint>
#include <map>
#include <vector>

#include "LabConfig.h"
#include "sim/Faults.h"

namespace lab {

constexpr uint8_t kCmdSlot = 0x04;
constexpr uint8_t kCmdFactory = 0x5E;

class SimStore {
public:
  explicit SimStore(const ModuleConfig& config);

  // The fault step of a slot request ("slot-open", "slot-write", ...).
  static const char* SlotStep(const std::vector<uint8_t>& request);
  // Reply data; left empty when the request gets none.
  void slot(const std::vector<uint8_t>& request, const SimFaults& faults, std::vector<uint8_t>& reply);
  void factory(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply);
  // Forgets open handles and half-done factory transfers (the link went).
  void abandon();

  std::vector<uint8_t> contents(uint8_t store, uint8_t slot) const;
  std::vector<uint8_t> factoryItem(uint8_t item) const;
  unsigned openHandles() const { return static_cast<unsigned>(open_.size()); }

private:
  struct Open {
    uint8_t store;
    uint8_t slot;
    bool writing;
    size_t position;
  };
  bool exists(uint8_t store, uint8_t slot) const;
  uint8_t slotByName(const std::vector<uint8_t>& request, const SimFaults& faults, std::vector<uint8_t>& reply);
  uint8_t slotByHandle(const std::vector<uint8_t>& request, const SimFaults& faults, std::vector<uint8_t>& reply);

  const ModuleConfig& config_;
  std::map<uint16_t, std::vector<uint8_t>> slots_;  // (store << 8 | slot) -> bytes
  std::map<uint8_t, Open> open_;
  uint8_t nextHandle_ = 0;
  std::map<uint8_t, std::vector<uint8_t>> factory_;
  enum class Session { None, Read, Write } session_ = Session::None;
  uint8_t sessionItem_ = 0;
  std::vector<uint8_t> written_;
  size_t readPosition_ = 0;
};

}  // namespace lab
