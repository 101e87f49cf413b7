#include "recovery/imx/HID_SDPLoader.h"

#include <hidapi/hidapi.h>
#include <unistd.h>

#include <cerrno>

#include "Log.h"
#include "aAccess.h"

namespace {

constexpr size_t kReportBuffer = 65;
constexpr uint8_t kSecurityReport = 3;
constexpr size_t kSecurityReportSize = 5;
constexpr size_t kStatusReplySize = kSecurityReportSize + kReportBuffer;
constexpr unsigned kMaxOffset = 15;
// The word follows report 3 and report 4's own ID byte.
constexpr size_t kWordStart = kSecurityReportSize + 1;

// hid_open fails alike for a missing and a forbidden device; only the latter
// has a remedy worth a line to the user. True when that line was due.
bool sReportIfDenied(uint16_t vendor, uint16_t product) {
  bool denied = false;
  hid_device_info* devices = hid_enumerate(vendor, product);
  for (hid_device_info* d = devices; d && !denied; d = d->next)
    if (d->path && access(d->path, R_OK | W_OK) != 0 && errno == EACCES) {
      aAccess_DeniedUSB(vendor, product);
      denied = true;
    }
  hid_free_enumeration(devices);
  return denied;
}

}  // namespace

HID_SDPLoader::HID_SDPLoader(uint16_t vendorID, uint16_t productID) : vendor(vendorID), product(productID) {}

HID_SDPLoader::~HID_SDPLoader() {
  if (handle)
    hid_close(handle);
  hid_exit();
}

bool HID_SDPLoader::init() {
  hid_init();
  handle = hid_open(vendor, product, nullptr);
  Log::log(DEBUG_iMXSerial, "handle: %p\n", static_cast<void*>(handle));
  if (!handle)
    denied = sReportIfDenied(vendor, product);
  return handle != nullptr;
}

ssize_t HID_SDPLoader::writeData(const std::vector<uint8_t>& packet) {
  if (!handle)
    return -1;
  return hid_write(handle, packet.data(), packet.size());
}

ssize_t HID_SDPLoader::readData(std::vector<uint8_t>& reply, unsigned timeout_ms) {
  if (!handle)
    return -1;
  ssize_t total = 0;
  for (;;) {
    unsigned char report[kReportBuffer] = {0};
    int count = hid_read_timeout(handle, report, sizeof(report), static_cast<int>(timeout_ms));
    if (count <= 0)
      break;
    size_t keep = report[0] == kSecurityReport ? kSecurityReportSize : static_cast<size_t>(count);
    reply.insert(reply.end(), report, report + keep);
    total += static_cast<ssize_t>(keep);
  }
  return total;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned offset, unsigned& value) {
  if (reply.size() != kStatusReplySize || offset > kMaxOffset)
    return false;
  orWordLE(reply.data() + kWordStart + offset, value);
  return true;
}
