// The usbfs side of one emulated device node: answers the ioctls that libusb
// makes (capabilities, claim and release, clear-halt, and the URBs of the
// control and bulk endpoints) and carries the bulk bytes to a UsbFunction.
// One gadget per arrival on the bus: a device that leaves and comes back gets a
// new node and a new gadget, and the old one fails every call as a kernel does
// for a disconnected device.
#pragma once
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <vector>

#include "usb/UsbFaults.h"
#include "usb/UsbFunction.h"
#include "usb/UsbIdentity.h"

typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace lab {

// What went over a module's endpoints, for checks.
struct UsbTraffic {
  unsigned opens = 0;            // times a program opened the device node
  unsigned outTransfers = 0;     // completed bulk OUT transfers
  unsigned largestOut = 0;       // bytes of the largest one
  std::vector<unsigned> outSizes;  // of the first 4096 of them, in order
  std::set<int> inRequestSizes;  // lengths the host asked for on bulk IN
  unsigned stalls = 0;
  unsigned clearHalts = 0;
  unsigned discarded = 0;        // transfers the host gave up on
  unsigned claims = 0;
  unsigned busyRefusals = 0;
};

class UsbGadget {
public:
  // Everything is used under `lock`, which the gadget takes in its handler.
  UsbGadget(std::mutex& lock, const UsbIdentity& identity, UsbFunction& function, UsbFaults& faults,
            UsbTraffic& traffic);
  ~UsbGadget();
  UsbGadget(const UsbGadget&) = delete;
  UsbGadget& operator=(const UsbGadget&) = delete;

  UMockdevIoctlBase* handler() const { return handler_; }
  // The device left the bus: transfers in flight end with a shutdown status and
  // every later call fails with ENODEV. Call with the lock held.
  void disconnect();
  bool connected() const { return !gone_; }
  // The maker's kernel driver holds the interface: claims fail as busy.
  void bindDriver() { driverBound_ = true; }
  // The unplug knob fired: the owner is to take the device off the bus.
  bool unplugWanted() const { return unplugWanted_; }

private:
  struct Urb {
    UMockdevIoctlData* urb = nullptr;
    UMockdevIoctlData* buffer = nullptr;
    uint8_t type = 0;
    uint8_t endpoint = 0;
    int length = 0;
  };

  static void cbOpened(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
  static int cbIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
  int ioctl(UMockdevIoctlClient* client);
  void submit(UMockdevIoctlClient* client);
  void reap(UMockdevIoctlClient* client);
  void discard(UMockdevIoctlClient* client);
  void claim(UMockdevIoctlClient* client, bool take);
  void clearHalt(UMockdevIoctlClient* client);
  void control(Urb& urb);
  void bulkOut(Urb& urb);
  void fillIn();
  void finish(Urb& urb, int status, int actual);
  void release(Urb& urb);

  std::mutex& lock_;
  UsbIdentity identity_;
  UsbFunction& function_;
  UsbFaults& faults_;
  UsbTraffic& traffic_;
  UMockdevIoctlBase* handler_ = nullptr;
  std::deque<Urb> pending_;
  std::deque<Urb> done_;
  bool gone_ = false;
  bool claimed_ = false;
  bool haltedOut_ = false;
  bool haltedIn_ = false;
  bool unplugWanted_ = false;
  bool driverBound_ = false;
};

}  // namespace lab
