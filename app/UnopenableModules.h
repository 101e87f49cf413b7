// USB modules the system shows but this user may not open. Discovery cannot
// read their serial number through the device, so without this a listing
// would leave them out and a script would conclude there is no module.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct UnopenableModule {
  uint32_t serialNumber = 0;
  uint16_t vendor = 0;
  uint16_t product = 0;
};

namespace cli {

// The maker's modules under `sysfs` (the USB devices directory) whose device
// node under `devfs` this process may not open for reading and writing.
std::vector<UnopenableModule> _unopenable_usb_modules(const std::string& sysfs = "/sys/bus/usb/devices",
                                                      const std::string& devfs = "/dev/bus/usb");

}  // namespace cli
