#include "usb/DriverNode.h"

#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace lab {

DriverNode::DriverNode(std::mutex& lock, UsbFunction& function) : lock_(lock), function_(function) {
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect(handler_, "client-connected", G_CALLBACK(cbConnected), this);
  g_signal_connect(handler_, "client-vanished", G_CALLBACK(cbVanished), this);
  g_signal_connect(handler_, "handle-read", G_CALLBACK(cbRead), this);
  g_signal_connect(handler_, "handle-write", G_CALLBACK(cbWrite), this);
}

DriverNode::~DriverNode() {
  g_signal_handlers_disconnect_by_data(handler_, this);
  g_object_unref(handler_);
}

void DriverNode::cbConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  static_cast<DriverNode*>(self)->opened(client, true);
}
void DriverNode::cbVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  static_cast<DriverNode*>(self)->opened(client, false);
}
int DriverNode::cbRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  return static_cast<DriverNode*>(self)->read(client);
}
int DriverNode::cbWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  return static_cast<DriverNode*>(self)->write(client);
}

void DriverNode::disconnect() {
  if (!gone_ && clients_ > 0)
    function_.released();
  gone_ = true;
  clients_ = 0;
  ++generation_;
}

void DriverNode::opened(UMockdevIoctlClient* client, bool open) {
  std::lock_guard<std::mutex> hold(lock_);
  if (open) {
    // A handle opened while the device is away never works.
    generations_[client] = gone_ ? ~0u : generation_;
    // The first opener opens the link, the last to close closes it.
    if (!gone_ && clients_++ == 0)
      function_.claimed();
    return;
  }
  auto it = generations_.find(client);
  bool ofThisArrival = it != generations_.end() && it->second == generation_;
  if (it != generations_.end())
    generations_.erase(it);
  if (ofThisArrival && !gone_ && clients_ > 0 && --clients_ == 0)
    function_.released();
}

bool DriverNode::current(UMockdevIoctlClient* client) {
  auto it = generations_.find(client);
  if (!gone_ && it != generations_.end() && it->second == generation_)
    return true;
  umockdev_ioctl_client_complete(client, -1, ENODEV);
  return false;
}

int DriverNode::read(UMockdevIoctlClient* client) {
  std::lock_guard<std::mutex> hold(lock_);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  size_t length = arg->data_len > 0 ? static_cast<size_t>(arg->data_len) : 0;
  if (!current(client))
    return TRUE;
  if (function_.waiting() == 0 || length == 0) {
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return TRUE;
  }
  std::vector<uint8_t> bytes;
  function_.take(length, bytes);
  umockdev_ioctl_data_update(arg, 0, bytes.data(), static_cast<int>(bytes.size()));
  umockdev_ioctl_client_complete(client, static_cast<long>(bytes.size()), 0);
  return TRUE;
}

int DriverNode::write(UMockdevIoctlClient* client) {
  std::lock_guard<std::mutex> hold(lock_);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  if (!current(client))
    return TRUE;
  size_t length = arg->data_len > 0 ? static_cast<size_t>(arg->data_len) : 0;
  function_.received(arg->data, length);
  written_ += static_cast<unsigned>(length);
  umockdev_ioctl_client_complete(client, static_cast<long>(length), 0);
  return TRUE;
}

}  // namespace lab
