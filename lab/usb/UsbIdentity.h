// What a USB device shows the host before any transfer: its ids, strings and
// the descriptors the kernel would expose in sysfs.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace lab {

// The vendor id the module maker's devices carry.
constexpr uint16_t kModuleVendorId = 0x24FF;
// The interface through which a module's link runs.
constexpr uint8_t kModuleInterfaceClass = 0xFF;
constexpr uint8_t kModuleInterfaceSubClass = 0x88;
constexpr uint8_t kModuleInterfaceProtocol = 0x10;
constexpr uint8_t kBulkOutEndpoint = 0x01;
constexpr uint8_t kBulkInEndpoint = 0x81;

struct UsbIdentity {
  uint16_t vendorId = kModuleVendorId;
  uint16_t productId = 0;
  std::string manufacturer = "Kovalink Lab";
  std::string product;
  std::string serialText;
  // One interface with these class codes and, unless `hid`, a bulk OUT and a
  // bulk IN endpoint; a HID interface has one interrupt IN endpoint instead.
  uint8_t interfaceClass = kModuleInterfaceClass;
  uint8_t interfaceSubClass = kModuleInterfaceSubClass;
  uint8_t interfaceProtocol = kModuleInterfaceProtocol;
  bool hid = false;
  uint16_t hidReportDescriptorLength = 0;
};

// A module of the given model and serial text (normally 8 hex digits).
UsbIdentity ModuleIdentity(uint8_t model, const std::string& serialText);

// Device descriptor followed by the configuration with its interface and
// endpoint descriptors: the sysfs "descriptors" file.
std::vector<uint8_t> UsbDescriptors(const UsbIdentity& identity);
// String descriptor `index` (0: the language list), or empty when there is none.
std::vector<uint8_t> UsbStringDescriptor(const UsbIdentity& identity, uint8_t index);

}  // namespace lab
