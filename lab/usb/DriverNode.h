// The node "/dev/kovalink.XXXXXXXX" of the module maker's kernel driver: the
// module's link as a byte device. A write carries bytes to the module; a read
// hands out waiting bytes and fails with EFAULT when there are none, as that
// driver does. Opening the node opens the module's link, closing it closes it.
// One node serves every arrival of its device: handles opened before the
// device left keep failing with ENODEV, as a driver's stale handles do.
#pragma once
#include <map>
#include <mutex>

#include "usb/UsbFunction.h"

typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace lab {

class DriverNode {
public:
  DriverNode(std::mutex& lock, UsbFunction& function);
  ~DriverNode();
  DriverNode(const DriverNode&) = delete;
  DriverNode& operator=(const DriverNode&) = delete;

  UMockdevIoctlBase* handler() const { return handler_; }
  // The device left (reads and writes fail with ENODEV) or came back. With the lock held.
  void disconnect();
  void reconnect() { gone_ = false; }
  unsigned bytesWritten() const { return written_; }

private:
  static void cbConnected(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
  static void cbVanished(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
  static int cbRead(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
  static int cbWrite(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
  void opened(UMockdevIoctlClient* client, bool open);
  // False (and the call failed) for a handle from before the device left.
  bool current(UMockdevIoctlClient* client);
  int read(UMockdevIoctlClient* client);
  int write(UMockdevIoctlClient* client);

  std::mutex& lock_;
  UsbFunction& function_;
  UMockdevIoctlBase* handler_ = nullptr;
  std::map<UMockdevIoctlClient*, unsigned> generations_;
  unsigned generation_ = 0;
  unsigned clients_ = 0;  // open handles of the current arrival
  bool gone_ = false;
  unsigned written_ = 0;
};

}  // namespace lab
