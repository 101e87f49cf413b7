// Module-side framing: address, length 0 to 28, data; no markers, no check bytes.
// Written independently of the updater's packet code so the lab checks the
// wire format rather than sharing the updater's assumptions.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Bytes.h"

namespace lab {

constexpr uint8_t kMaxFrameData = 28;
constexpr uint8_t kControlAddress = 0xAF;  // link start/stop frames from the host
constexpr uint8_t kQueryAddress = 0xAD;    // address query from the host

struct SimFrame {
  uint8_t address = 0;
  std::vector<uint8_t> data;
};

// Appends the wire bytes of one frame; data beyond 28 bytes is cut.
void AppendFrame(std::vector<uint8_t>& out, uint8_t address, const std::vector<uint8_t>& data);

// Splits a byte stream from the host into frames. Incomplete tails wait for
// more bytes; a zero address or a length above 28 cannot start a frame, so
// that byte is skipped and counting starts again at the next one.
class SimFrameReader {
public:
  void feed(const uint8_t* bytes, size_t count, std::vector<SimFrame>& frames);
  size_t discarded() const { return discarded_; }
  void reset() { pending_.clear(); }

private:
  std::vector<uint8_t> pending_;
  size_t discarded_ = 0;
};

}  // namespace lab
