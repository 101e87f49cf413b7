// An emulated USB bus: a umockdev testbed whose sysfs tree and device nodes an
// unmodified program sees when it runs with the umockdev preload library and
// UMOCKDEV_DIR set to root(). Devices are plugged with an ioctl handler that
// answers for their node. No uevents are sent: umockdev sends them only from a
// process that itself runs under its preload, and libusb finds arrivals and
// removals on every new context's scan anyway.
#pragma once
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "usb/UsbIdentity.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;

namespace lab {

struct UsbPlugged {
  std::string syspath;  // sysfs path of the device, to unplug it
  std::string devnode;  // /dev/bus/usb/BBB/DDD
  std::string hidraw;   // /dev/hidrawN of a HID device, else empty
  int hidrawMaster = -1;  // master side of the hidraw node's pseudo-terminal
  std::string driverNode;  // /dev/kovalink.XXXXXXXX when the maker's driver serves the device
};

class UsbBus {
public:
  UsbBus();
  ~UsbBus();
  UsbBus(const UsbBus&) = delete;
  UsbBus& operator=(const UsbBus&) = delete;

  bool ok() const { return testbed_ != nullptr; }
  // The testbed directory: the value of UMOCKDEV_DIR for programs on this bus.
  const std::string& root() const { return root_; }

  // Adds the device at `port` (1-based) with the next device number;
  // `handler` answers the usbfs ioctls of its node.
  bool plug(unsigned port, const UsbIdentity& identity, UMockdevIoctlBase* handler, UsbPlugged& plugged,
            std::string& error);
  // A HID device: the USB device as plug() adds it, then its interface, its
  // HID device (with the report descriptor) and a hidraw node answered by `hidHandler`.
  bool plugHid(unsigned port, const UsbIdentity& identity, UMockdevIoctlBase* usbHandler,
               UMockdevIoctlBase* hidHandler, const std::vector<uint8_t>& reportDescriptor, UsbPlugged& plugged,
               std::string& error);
  // The maker's driver node "/dev/kovalink.<serialText>" for a plugged device,
  // answered by `handler`; the node stays when the device leaves and keeps
  // the handler it first had.
  bool plugDriverNode(const std::string& serialText, UMockdevIoctlBase* handler, UsbPlugged& plugged,
                      std::string& error);
  void unplug(const UsbPlugged& plugged);

private:
  static void RemoveStale();
  uint8_t nextDevnum();
  bool add(const std::string& record, std::string& error);
  bool attach(const std::string& devnode, UMockdevIoctlBase* handler, std::string& error);

  UMockdevTestbed* testbed_ = nullptr;
  std::string root_;
  uint8_t devnum_ = 1;
  unsigned hidraws_ = 0;
  std::set<std::string> nodes_;
};

}  // namespace lab
