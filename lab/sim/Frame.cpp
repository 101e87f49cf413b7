#include "sim/Frame.h"

namespace lab {

void AppendFrame(std::vector<uint8_t>& out, uint8_t address, const std::vector<uint8_t>& data) {
  size_t n = data.size() > kMaxFrameData ? kMaxFrameData : data.size();
  out.push_back(address);
  out.push_back(static_cast<uint8_t>(n));
  out.insert(out.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
}

void SimFrameReader::feed(const uint8_t* bytes, size_t count, std::vector<SimFrame>& frames) {
  pending_.insert(pending_.end(), bytes, bytes + count);
  size_t at = 0;
  while (at < pending_.size()) {
    uint8_t address = pending_[at];
    if (address == 0) {
      ++at;
      ++discarded_;
      continue;
    }
    if (pending_.size() - at < 2)
      break;
    uint8_t length = pending_[at + 1];
    if (length > kMaxFrameData) {
      ++at;
      ++discarded_;
      continue;
    }
    if (pending_.size() - at < 2u + length)
      break;
    SimFrame frame;
    frame.address = address;
    frame.data.assign(pending_.begin() + static_cast<std::ptrdiff_t>(at + 2),
                      pending_.begin() + static_cast<std::ptrdiff_t>(at + 2 + length));
    frames.push_back(std::move(frame));
    at += 2u + length;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
}

}  // namespace lab
