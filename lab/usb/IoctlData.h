// Reaching into a client's memory from an ioctl handler.
#pragma once
#include <umockdev.h>

#include <cstddef>

namespace lab {

// The `length` bytes that the pointer at `offset` of `data` points to, in a new
// reference (written back to the client when its call completes); null when
// that memory cannot be read.
inline UMockdevIoctlData* ResolveIoctlData(UMockdevIoctlData* data, size_t offset, size_t length) {
  GError* error = nullptr;
  UMockdevIoctlData* resolved = umockdev_ioctl_data_resolve(data, offset, length, &error);
  if (error)
    g_error_free(error);
  return resolved;
}

}  // namespace lab
