#include "usb/HidGadget.h"

#include <sys/ioctl.h>
#include <linux/hidraw.h>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <umockdev.h>

#include "usb/IoctlData.h"
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace lab {

namespace {

constexpr uint32_t kBusUsb = 3;

}  // namespace

std::vector<uint8_t> BootRomReportDescriptor() {
  std::vector<uint8_t> d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01};
  auto report = [&d](uint8_t id, uint16_t count, uint8_t main) {
    d.insert(d.end(), {0x85, id, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08});
    d.insert(d.end(), {0x96, static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8), main, 0x02});
  };
  report(1, 16, 0x91);    // output
  report(2, 1024, 0x91);  // output
  report(3, 4, 0x81);     // input
  report(4, 64, 0x81);    // input
  d.push_back(0xC0);
  return d;
}

HidGadget::HidGadget(std::mutex& lock, uint16_t vendorId, uint16_t productId,
                     const std::vector<uint8_t>& reportDescriptor, HidReportSink& sink)
    : lock_(lock), vendorId_(vendorId), productId_(productId), descriptor_(reportDescriptor), sink_(sink) {
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(cbIoctl), this);
  g_signal_connect(handler_, "handle-read", G_CALLBACK(cbRead), this);
  g_signal_connect(handler_, "handle-write", G_CALLBACK(cbWrite), this);
}

HidGadget::~HidGadget() {
  g_signal_handlers_disconnect_by_data(handler_, this);
  if (drainFd_ >= 0)
    close(drainFd_);
  g_object_unref(handler_);
}

int HidGadget::cbIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  return static_cast<HidGadget*>(self)->ioctl(client);
}
int HidGadget::cbRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  return static_cast<HidGadget*>(self)->read(client);
}
int HidGadget::cbWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  return static_cast<HidGadget*>(self)->write(client);
}

int HidGadget::ioctl(UMockdevIoctlClient* client) {
  std::lock_guard<std::mutex> hold(lock_);
  unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  UMockdevIoctlData* data = nullptr;
  if (request == HIDIOCGRDESCSIZE && (data = ResolveIoctlData(arg, 0, sizeof(int)))) {
    int size = static_cast<int>(descriptor_.size());
    std::memcpy(data->data, &size, sizeof(size));
  } else if (request == HIDIOCGRDESC && (data = ResolveIoctlData(arg, 0, sizeof(struct hidraw_report_descriptor)))) {
    auto* out = reinterpret_cast<struct hidraw_report_descriptor*>(data->data);
    size_t n = std::min<size_t>(descriptor_.size(), std::min<size_t>(out->size, sizeof(out->value)));
    std::memcpy(out->value, descriptor_.data(), n);
  } else if (request == HIDIOCGRAWINFO && (data = ResolveIoctlData(arg, 0, sizeof(struct hidraw_devinfo)))) {
    auto* info = reinterpret_cast<struct hidraw_devinfo*>(data->data);
    info->bustype = kBusUsb;
    info->vendor = static_cast<int16_t>(vendorId_);
    info->product = static_cast<int16_t>(productId_);
  } else {
    umockdev_ioctl_client_complete(client, -1, ENOTTY);
    return TRUE;
  }
  umockdev_ioctl_client_complete(client, 0, 0);
  g_object_unref(data);
  return TRUE;
}

int HidGadget::write(UMockdevIoctlClient* client) {
  std::lock_guard<std::mutex> hold(lock_);
  // For reads and writes the argument holds the caller's buffer itself.
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  size_t length = arg->data_len > 0 ? static_cast<size_t>(arg->data_len) : 0;
  if (length == 0) {
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return TRUE;
  }
  std::vector<uint8_t> report(arg->data, arg->data + length);
  std::vector<std::vector<uint8_t>> replies;
  sink_.report(report, replies);
  for (auto& reply : replies)
    queue_.push_back(reply);
  umockdev_ioctl_client_complete(client, static_cast<long>(length), 0);
  signalReady();
  return TRUE;
}

int HidGadget::read(UMockdevIoctlClient* client) {
  std::lock_guard<std::mutex> hold(lock_);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  size_t length = arg->data_len > 0 ? static_cast<size_t>(arg->data_len) : 0;
  if (queue_.empty()) {
    umockdev_ioctl_client_complete(client, -1, EAGAIN);
    return TRUE;
  }
  std::vector<uint8_t> report = queue_.front();
  queue_.pop_front();
  size_t n = std::min(report.size(), length);
  umockdev_ioctl_data_update(arg, 0, report.data(), static_cast<int>(n));
  ++reportsIn_;
  umockdev_ioctl_client_complete(client, static_cast<long>(n), 0);
  signalReady();
  return TRUE;
}

void HidGadget::signalReady() {
  if (readyFd_ < 0)
    return;
  bool want = !queue_.empty();
  if (want && !readySignalled_) {
    char byte = 1;
    readySignalled_ = ::write(readyFd_, &byte, 1) == 1;
  } else if (!want && readySignalled_) {
    // Only the slave side can take the byte back out of the terminal's input.
    if (drainFd_ < 0)
      drainFd_ = open(ptsname(readyFd_), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    readySignalled_ = !(drainFd_ >= 0 && tcflush(drainFd_, TCIFLUSH) == 0);
  }
}

}  // namespace lab
