// The system entity (command 3) and the module-level queries (command 0x49)
// of a simulated module.
#pragma once
#include <cstdint>
#include <map>
#include <vector>

#include "LabConfig.h"

namespace lab {

constexpr uint8_t kCmdSystem = 0x03;
constexpr uint8_t kCmdDebug = 0x17;
constexpr uint8_t kCmdQuery = 0x49;

// Error codes a module puts into its error replies (the link library's numbering).
enum SimError : uint8_t {
  kErrParam = 2,
  kErrNotFound = 3,
  kErrPermission = 12,
  kErrSize = 14,
  kErrUnimplemented = 21,
  kErrIndexRange = 26,
  kErrShortCommand = 27,
  kErrInvalidEntity = 28,
  kErrInvalidOption = 29,
};

// What the system entity reports and what its settable options hold.
struct SimState {
  const ModuleConfig* config = nullptr;
  uint8_t address = 2;
  uint8_t routerAddress = 2;
  uint8_t defaultRouterAddress = 2;
  uint8_t heartbeat = 0;
  uint32_t version = 0;
  uint32_t build = 0;
  bool routing = false;
  uint64_t bootMs = 0;
  bool resetRequested = false;
  std::map<uint8_t, uint32_t> settings;  // LED, boot slot, offsets, power settings, link interface

  // Back to the configured values (power-up and factory defaults).
  void reset(const ModuleConfig& cfg, uint8_t routerAddressDefault);
};

// Replies (packet data) to one system-entity request; a byte-array read gives
// several, sequenced.
void HandleSystem(SimState& state, const std::vector<uint8_t>& request, uint64_t nowMs,
                  std::vector<std::vector<uint8_t>>& replies);
// Whether the system entity offers the option in that direction (0x40 get,
// 0x80 set or call, 0 either).
bool SystemSupports(uint8_t option, uint8_t direction);
// Reply data to a module-level query; left empty for requests it does not know.
void HandleQuery(const SimState& state, const std::vector<uint8_t>& request, std::vector<uint8_t>& reply);

}  // namespace lab
