// Streaming of a simulated module: the stream command (93) and a sampler
// entity (command 0x13, indexes 0 and 1) whose options stream one sample type
// each: 1 byte, 2 16-bit, 3 32-bit, 4 byte-array packets, 5 to 7 the same
// widths with subindexes 0 to 2. While a stream is enabled, every matching
// option is sent on its own every stream interval.
#pragma once
#include <cstdint>
#include <vector>

#include "LabConfig.h"
#include "sim/Faults.h"

namespace lab {

constexpr uint8_t kCmdStream = 0x5D;
constexpr uint8_t kCmdSampler = 0x13;

class SimStreams {
public:
  explicit SimStreams(const ModuleConfig& config);

  // Reply data to a stream-command request; left empty when it gets none.
  void command(uint8_t address, const std::vector<uint8_t>& request, const SimFaults& faults,
               std::vector<uint8_t>& reply);
  // Reply data to a get of the sampler entity: the value the next sample would carry.
  void sampler(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply) const;
  // Appends the frames of the samples due by nowMs.
  void tick(uint64_t nowMs, uint8_t address, std::vector<uint8_t>& out);
  // When tick() has samples to send next, or 0 while nothing streams.
  uint64_t nextEvent() const { return keys_.empty() ? 0 : nextSample_; }
  void stopAll() { keys_.clear(); }
  uint64_t samplesSent() const { return samplesSent_; }
  // Sampling rounds so far; values move with every round.
  uint32_t rounds() const { return round_; }

private:
  uint32_t value(uint8_t option, uint8_t index, uint8_t subindex) const;
  bool enabled(uint8_t address, uint8_t option, uint8_t index) const;

  const ModuleConfig& config_;
  std::vector<uint32_t> keys_;  // enabled: address, command, option, index (0xFF = any)
  uint64_t nextSample_ = 0;
  uint32_t round_ = 0;
  uint64_t samplesSent_ = 0;
};

}  // namespace lab
