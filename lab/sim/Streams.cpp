#include "sim/Streams.h"

#include <algorithm>

#include "sim/Frame.h"
#include "sim/System.h"

namespace lab {

namespace {

constexpr uint8_t kEnable = 0x81;
constexpr uint8_t kDisable = 0x82;
constexpr uint8_t kStatus = 0x41;
constexpr uint8_t kAny = 0xFF;
constexpr uint8_t kSamplerIndexes = 2;
constexpr uint8_t kSubindexes = 3;
constexpr uint8_t kByteArrayOption = 4;
constexpr uint8_t kLastOption = 7;

bool HasSubindex(uint8_t option) { return option >= 5 && option <= 7; }

size_t Width(uint8_t option) {
  switch (option) {
    case 1:
    case 5: return 1;
    case 2:
    case 6: return 2;
    default: return 4;
  }
}

void PutValue(std::vector<uint8_t>& out, uint32_t value, size_t width) {
  if (width == 1)
    out.push_back(static_cast<uint8_t>(value));
  else if (width == 2)
    PutBE16(out, static_cast<uint16_t>(value));
  else
    PutBE32(out, value);
}

uint8_t Field(uint32_t key, int shift) { return static_cast<uint8_t>(key >> shift); }

bool Covers(uint8_t wanted, uint8_t actual) { return wanted == kAny || wanted == actual; }

unsigned BurstCopies(const ModuleConfig& config) {
  for (const FaultSpec& fault : config.faults)
    if (fault.kind == FaultKind::SampleBurst)
      return std::max(1u, fault.value);
  return 1;
}

}  // namespace

SimStreams::SimStreams(const ModuleConfig& config) : config_(config) {}

uint32_t SimStreams::value(uint8_t option, uint8_t index, uint8_t subindex) const {
  // Moves every round; 32-bit options carry values that need all four bytes.
  const uint32_t base = round_ * 16u + index * 4u + subindex;
  const size_t width = Width(option);
  return width == 1 ? base & 0xFF : width == 2 ? base & 0xFFFF : base + 0x12340000u;
}

bool SimStreams::enabled(uint8_t address, uint8_t option, uint8_t index) const {
  for (uint32_t key : keys_)
    if (Field(key, 24) == address && Covers(Field(key, 16), kCmdSampler) && Covers(Field(key, 8), option) &&
        Covers(Field(key, 0), index))
      return true;
  return false;
}

void SimStreams::command(uint8_t address, const std::vector<uint8_t>& request, const SimFaults& faults,
                         std::vector<uint8_t>& reply) {
  if (request.size() < 3)
    return;
  const uint8_t option = request[1];
  const uint8_t replyOption = option & 0x80 ? static_cast<uint8_t>(option | 0xC0) : (option & 0x3F);
  auto fail = [&](uint8_t code) { reply = {kCmdStream, replyOption, 0x80, code}; };
  if (faults.fired(FaultKind::StreamError))
    return fail(static_cast<uint8_t>(faults.value(FaultKind::StreamError, kErrInvalidOption)));
  if (option == kStatus) {
    reply = {kCmdStream, replyOption, 0, static_cast<uint8_t>(keys_.empty() ? 0 : 1)};
    return;
  }
  if (option != kEnable && option != kDisable)
    return fail(kErrInvalidOption);
  if (request.size() != 7)
    return fail(kErrShortCommand);
  const uint32_t key = GetBE32(&request[3]);
  if (Field(key, 24) != address)
    return fail(kErrParam);
  if (!Covers(Field(key, 16), kCmdSampler))
    return fail(kErrInvalidEntity);
  if (option == kEnable) {
    if (keys_.empty())
      nextSample_ = 0;  // the first samples go out at the next tick
    if (std::find(keys_.begin(), keys_.end(), key) == keys_.end())
      keys_.push_back(key);
  } else {
    keys_.erase(std::remove_if(keys_.begin(), keys_.end(),
                               [key](uint32_t k) {
                                 for (int shift = 0; shift < 32; shift += 8)
                                   if (!Covers(Field(key, shift), Field(k, shift)))
                                     return false;
                                 return true;
                               }),
                keys_.end());
  }
  reply = {kCmdStream, replyOption, 0};
}

void SimStreams::sampler(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply) const {
  if (request.size() < 3 || !(request[1] & 0x40))
    return;
  const uint8_t option = request[1] & 0x3F;
  const uint8_t index = request[2] & 0x1F;
  reply = {kCmdSampler, option, index};
  if (option == 0 || option > kLastOption || option == kByteArrayOption)
    reply = {kCmdSampler, option, static_cast<uint8_t>(index | 0x80), kErrInvalidOption};
  else if (index >= kSamplerIndexes)
    reply = {kCmdSampler, option, static_cast<uint8_t>(index | 0x80), kErrIndexRange};
  else
    PutValue(reply, value(option, index, request.size() > 3 ? request[3] : 0), Width(option));
}

void SimStreams::tick(uint64_t nowMs, uint8_t address, std::vector<uint8_t>& out) {
  if (keys_.empty() || nowMs < nextSample_)
    return;
  const bool wrongLength = config_.has(FaultKind::SampleLength);
  const unsigned copies = BurstCopies(config_);
  std::vector<uint8_t> data;
  for (uint8_t option = 1; option <= kLastOption; ++option) {
    for (uint8_t index = 0; index < kSamplerIndexes; ++index) {
      if (!enabled(address, option, index))
        continue;
      for (uint8_t subindex = 0; subindex < (HasSubindex(option) ? kSubindexes : 1); ++subindex) {
        const uint32_t sample = value(option, index, subindex);
        data = {kCmdSampler, option, static_cast<uint8_t>(0x40 | index), option};
        if (option == kByteArrayOption) {
          PutBE32(data, sample);
          data.push_back(0x01);  // a non-zero last byte marks a byte-array packet
        } else {
          if (HasSubindex(option))
            data.push_back(subindex);
          PutBE32(data, static_cast<uint32_t>((nowMs * 1000) >> 32));
          PutBE32(data, static_cast<uint32_t>(nowMs * 1000));
          PutValue(data, sample, Width(option));
          if (wrongLength)
            data.push_back(0);
          data.push_back(0);  // sequence byte of a sample
        }
        for (unsigned copy = 0; copy < copies; ++copy) {
          AppendFrame(out, address, data);
          ++samplesSent_;
        }
      }
    }
  }
  ++round_;
  nextSample_ = nowMs + config_.streamIntervalMs;
}

}  // namespace lab
