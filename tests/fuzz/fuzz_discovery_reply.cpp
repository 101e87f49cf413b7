// Any datagram as a discovery reply, any string as a USB serial number.
#include <cstddef>
#include <cstdint>

#include "aDiscovery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  linkSpec spec;
  aDiscovery_DescribeTCPIPModule(data, static_cast<int>(size), 0x0100007F, &spec);
  if (size >= 2) {
    uint16_t productId = static_cast<uint16_t>(data[0] << 8 | data[1]);
    aDiscovery_DescribeUSBModule(productId, reinterpret_cast<const char*>(data + 2), static_cast<int>(size - 2),
                                 &spec);
  }
  return 0;
}
