// The hidraw side of an emulated HID device: answers the descriptor ioctls,
// takes one output report per write and hands one queued input report per
// read. umockdev makes the node a pseudo-terminal; a byte on its master side
// makes poll() report input while reports are queued.
#pragma once
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "usb/HidReportSink.h"

typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace lab {

class HidGadget {
public:
  HidGadget(std::mutex& lock, uint16_t vendorId, uint16_t productId, const std::vector<uint8_t>& reportDescriptor,
            HidReportSink& sink);
  ~HidGadget();
  HidGadget(const HidGadget&) = delete;
  HidGadget& operator=(const HidGadget&) = delete;

  UMockdevIoctlBase* handler() const { return handler_; }
  // The master side of the node's pseudo-terminal, once the node exists.
  void setReadyFd(int fd) { readyFd_ = fd; }
  unsigned reportsIn() const { return reportsIn_; }

private:
  static int cbIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
  static int cbRead(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
  static int cbWrite(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
  int ioctl(UMockdevIoctlClient* client);
  int read(UMockdevIoctlClient* client);
  int write(UMockdevIoctlClient* client);
  void signalReady();

  std::mutex& lock_;
  uint16_t vendorId_;
  uint16_t productId_;
  std::vector<uint8_t> descriptor_;
  HidReportSink& sink_;
  UMockdevIoctlBase* handler_ = nullptr;
  std::deque<std::vector<uint8_t>> queue_;
  int readyFd_ = -1;
  int drainFd_ = -1;  // the pseudo-terminal's slave side, opened here to drain it
  bool readySignalled_ = false;
  unsigned reportsIn_ = 0;
};

}  // namespace lab
