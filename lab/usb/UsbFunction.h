// What sits behind an emulated device's vendor interface: the bytes of its bulk
// endpoints. Called with the lab's lock held.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace lab {

class UsbFunction {
public:
  virtual ~UsbFunction() = default;
  // The host claimed or released the interface.
  virtual void claimed() = 0;
  virtual void released() = 0;
  // Bytes of one bulk OUT transfer.
  virtual void received(const uint8_t* bytes, size_t count) = 0;
  // Bytes waiting for the host.
  virtual size_t waiting() const = 0;
  // Moves up to `max` waiting bytes into `out` for a bulk IN transfer.
  virtual void take(size_t max, std::vector<uint8_t>& out) = 0;
};

}  // namespace lab
