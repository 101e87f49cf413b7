#include "usb/UsbIdentity.h"

#include <cstdio>

#include "Bytes.h"

namespace lab {

namespace {

constexpr uint8_t kManufacturerIndex = 1;
constexpr uint8_t kProductIndex = 2;
constexpr uint8_t kSerialIndex = 3;
constexpr uint16_t kHighSpeedBulkPacket = 512;
constexpr uint16_t kHidReportPacket = 64;

void Endpoint(std::vector<uint8_t>& out, uint8_t address, uint8_t attributes, uint16_t packet, uint8_t interval) {
  out.insert(out.end(), {7, 5, address, attributes});
  PutLE16(out, packet);
  out.push_back(interval);
}

}  // namespace

UsbIdentity ModuleIdentity(uint8_t model, const std::string& serialText) {
  UsbIdentity identity;
  identity.productId = model;
  identity.serialText = serialText;
  char product[32];
  std::snprintf(product, sizeof(product), "Lab module %u", model);
  identity.product = product;
  return identity;
}

std::vector<uint8_t> UsbDescriptors(const UsbIdentity& id) {
  std::vector<uint8_t> out = {18, 1};
  PutLE16(out, 0x0200);
  out.insert(out.end(), {0, 0, 0, 64});
  PutLE16(out, id.vendorId);
  PutLE16(out, id.productId);
  PutLE16(out, 0x0100);
  out.insert(out.end(), {kManufacturerIndex, kProductIndex, kSerialIndex, 1});

  std::vector<uint8_t> interface = {9, 4, 0, 0, static_cast<uint8_t>(id.hid ? 1 : 2), id.interfaceClass,
                                    id.interfaceSubClass, id.interfaceProtocol, 0};
  if (id.hid) {
    // HID class descriptor: version 1.11, one report descriptor of the given length.
    interface.insert(interface.end(), {9, 0x21, 0x11, 0x01, 0, 1, 0x22});
    PutLE16(interface, id.hidReportDescriptorLength);
    Endpoint(interface, kBulkInEndpoint, 0x03, kHidReportPacket, 1);
  } else {
    Endpoint(interface, kBulkOutEndpoint, 0x02, kHighSpeedBulkPacket, 0);
    Endpoint(interface, kBulkInEndpoint, 0x02, kHighSpeedBulkPacket, 0);
  }
  out.insert(out.end(), {9, 2});
  PutLE16(out, static_cast<uint16_t>(9 + interface.size()));
  out.insert(out.end(), {1, 1, 0, 0x80, 50});
  out.insert(out.end(), interface.begin(), interface.end());
  return out;
}

std::vector<uint8_t> UsbStringDescriptor(const UsbIdentity& id, uint8_t index) {
  if (index == 0)
    return {4, 3, 0x09, 0x04};  // US English only
  const std::string* text = index == kManufacturerIndex ? &id.manufacturer
                            : index == kProductIndex    ? &id.product
                            : index == kSerialIndex     ? &id.serialText
                                                        : nullptr;
  if (!text)
    return {};
  std::vector<uint8_t> out = {static_cast<uint8_t>(2 + 2 * text->size()), 3};
  for (char c : *text)
    PutLE16(out, static_cast<uint8_t>(c));
  return out;
}

}  // namespace lab
