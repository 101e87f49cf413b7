// A bounded ring for exactly one producer thread and one consumer thread,
// without locks: each side publishes its index only after it is done with
// the slot, so neither ever touches a slot the other may be using.
#pragma once
#include <stdint.h>

#include <atomic>
#include <vector>

namespace Tessoral {
namespace Kovalink {

template <typename T>
class LocklessQueue_SPSC {
public:
  // Holds at most slots - 1 items.
  explicit LocklessQueue_SPSC(uint16_t slots) : items_(slots < 2 ? 2 : slots) {}
  LocklessQueue_SPSC(const LocklessQueue_SPSC&) = delete;
  LocklessQueue_SPSC& operator=(const LocklessQueue_SPSC&) = delete;

  // Producer only; false when full (the item is not taken).
  bool push(const T& item) {
    const uint16_t write = write_.load(std::memory_order_relaxed);
    const uint16_t next = advance(write);
    if (next == read_.load(std::memory_order_acquire))
      return false;
    items_[next] = item;
    write_.store(next, std::memory_order_release);
    return true;
  }

  // Consumer only; false when empty.
  bool pop(T* item) {
    const uint16_t read = read_.load(std::memory_order_relaxed);
    if (read == write_.load(std::memory_order_acquire))
      return false;
    const uint16_t next = advance(read);
    *item = items_[next];
    items_[next] = T();
    read_.store(next, std::memory_order_release);
    return true;
  }

private:
  uint16_t advance(uint16_t index) const {
    return static_cast<uint16_t>(index + 1u == items_.size() ? 0u : index + 1u);
  }

  std::vector<T> items_;
  std::atomic<uint16_t> write_{0};
  std::atomic<uint16_t> read_{0};
};

}  // namespace Kovalink
}  // namespace Tessoral
