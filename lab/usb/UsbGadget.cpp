#include "usb/UsbGadget.h"

#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include "Bytes.h"
#include "usb/IoctlData.h"

#include <cerrno>
#include <cstddef>
#include <algorithm>
#include <cstring>

namespace lab {

namespace {

constexpr size_t kSetupSize = 8;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kStringDescriptor = 3;
constexpr uint8_t kDeviceDescriptor = 1;
constexpr uint8_t kConfigDescriptor = 2;

// Reads the unsigned int that an ioctl argument points to.
bool ReadUnsigned(UMockdevIoctlClient* client, unsigned& value) {
  UMockdevIoctlData* data = ResolveIoctlData(umockdev_ioctl_client_get_arg(client), 0, sizeof(unsigned));
  if (!data)
    return false;
  std::memcpy(&value, data->data, sizeof(unsigned));
  g_object_unref(data);
  return true;
}

}  // namespace

UsbGadget::UsbGadget(std::mutex& lock, const UsbIdentity& identity, UsbFunction& function, UsbFaults& faults,
                     UsbTraffic& traffic)
    : lock_(lock), identity_(identity), function_(function), faults_(faults), traffic_(traffic) {
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(cbIoctl), this);
  g_signal_connect(handler_, "client-connected", G_CALLBACK(cbOpened), this);
}

void UsbGadget::cbOpened(UMockdevIoctlBase*, UMockdevIoctlClient*, void* self) {
  UsbGadget* gadget = static_cast<UsbGadget*>(self);
  std::lock_guard<std::mutex> hold(gadget->lock_);
  ++gadget->traffic_.opens;
}

UsbGadget::~UsbGadget() {
  g_signal_handlers_disconnect_by_data(handler_, this);
  for (Urb& urb : pending_)
    release(urb);
  for (Urb& urb : done_)
    release(urb);
  g_object_unref(handler_);
}

int UsbGadget::cbIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  return static_cast<UsbGadget*>(self)->ioctl(client);
}

void UsbGadget::disconnect() {
  if (gone_)
    return;
  gone_ = true;
  while (!pending_.empty()) {
    finish(pending_.front(), -ESHUTDOWN, 0);
    pending_.pop_front();
  }
  if (claimed_)
    function_.released();
  claimed_ = false;
}

int UsbGadget::ioctl(UMockdevIoctlClient* client) {
  std::lock_guard<std::mutex> hold(lock_);
  unsigned long request = umockdev_ioctl_client_get_request(client);
  if (request == USBDEVFS_REAPURBNDELAY) {
    reap(client);  // what completed before the disconnect is still handed out
    return TRUE;
  }
  if (gone_) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return TRUE;
  }
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData* data = ResolveIoctlData(umockdev_ioctl_client_get_arg(client), 0, sizeof(uint32_t));
      if (data) {
        uint32_t caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                        USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        std::memcpy(data->data, &caps, sizeof(caps));
        g_object_unref(data);
      }
      umockdev_ioctl_client_complete(client, data ? 0 : -1, data ? 0 : EFAULT);
      return TRUE;
    }
    case USBDEVFS_CLAIMINTERFACE: claim(client, true); return TRUE;
    case USBDEVFS_RELEASEINTERFACE: claim(client, false); return TRUE;
    case USBDEVFS_CLEAR_HALT: clearHalt(client); return TRUE;
    case USBDEVFS_SUBMITURB: submit(client); return TRUE;
    case USBDEVFS_DISCARDURB: discard(client); return TRUE;
    default:
      umockdev_ioctl_client_complete(client, -1, ENOTTY);
      return TRUE;
  }
}

void UsbGadget::claim(UMockdevIoctlClient* client, bool take) {
  unsigned interface = 0;
  if (!ReadUnsigned(client, interface) || interface != 0) {
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return;
  }
  if (take && (driverBound_ || faults_.has(UsbFaultKind::Busy))) {
    ++traffic_.busyRefusals;
    umockdev_ioctl_client_complete(client, -1, EBUSY);
    return;
  }
  if (take && !claimed_) {
    ++traffic_.claims;
    function_.claimed();
  } else if (!take && claimed_) {
    function_.released();
  }
  claimed_ = take;
  umockdev_ioctl_client_complete(client, 0, 0);
}

void UsbGadget::clearHalt(UMockdevIoctlClient* client) {
  unsigned endpoint = 0;
  if (!ReadUnsigned(client, endpoint) || (endpoint != kBulkOutEndpoint && endpoint != kBulkInEndpoint)) {
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return;
  }
  ++traffic_.clearHalts;
  (endpoint == kBulkInEndpoint ? haltedIn_ : haltedOut_) = false;
  umockdev_ioctl_client_complete(client, 0, 0);
}

void UsbGadget::submit(UMockdevIoctlClient* client) {
  Urb urb;
  urb.urb = ResolveIoctlData(umockdev_ioctl_client_get_arg(client), 0, sizeof(struct usbdevfs_urb));
  if (!urb.urb) {
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return;
  }
  auto* raw = reinterpret_cast<struct usbdevfs_urb*>(urb.urb->data);
  urb.type = raw->type;
  urb.endpoint = raw->endpoint;
  urb.length = raw->buffer_length;
  if (urb.length > 0)
    urb.buffer = ResolveIoctlData(urb.urb, offsetof(struct usbdevfs_urb, buffer), static_cast<size_t>(urb.length));
  bool known = urb.type == USBDEVFS_URB_TYPE_CONTROL ? urb.endpoint == 0
               : urb.type == USBDEVFS_URB_TYPE_BULK
                   ? (urb.endpoint == kBulkOutEndpoint || urb.endpoint == kBulkInEndpoint) && !identity_.hid
                   : false;
  if (!known || urb.length < 0 || (urb.length > 0 && !urb.buffer)) {
    release(urb);
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return;
  }
  umockdev_ioctl_client_complete(client, 0, 0);
  if (urb.type == USBDEVFS_URB_TYPE_CONTROL)
    control(urb);
  else if (urb.endpoint == kBulkOutEndpoint)
    bulkOut(urb);
  else {
    traffic_.inRequestSizes.insert(urb.length);
    pending_.push_back(urb);
  }
}

void UsbGadget::control(Urb& urb) {
  if (urb.length < static_cast<int>(kSetupSize)) {
    finish(urb, -EPIPE, 0);
    return;
  }
  const uint8_t* setup = urb.buffer->data;
  uint8_t type = setup[3], index = setup[2];
  size_t wanted = GetLE16(&setup[6]);
  std::vector<uint8_t> answer;
  if (setup[0] == 0x80 && setup[1] == kGetDescriptor) {
    std::vector<uint8_t> all = UsbDescriptors(identity_);
    if (type == kStringDescriptor)
      answer = UsbStringDescriptor(identity_, index);
    else if (type == kDeviceDescriptor)
      answer.assign(all.begin(), all.begin() + 18);
    else if (type == kConfigDescriptor && index == 0)
      answer.assign(all.begin() + 18, all.end());
  }
  if (answer.empty()) {
    finish(urb, -EPIPE, 0);  // a request the device does not know stalls
    return;
  }
  size_t room = static_cast<size_t>(urb.length) - kSetupSize;
  size_t n = std::min({answer.size(), wanted, room});
  std::memcpy(urb.buffer->data + kSetupSize, answer.data(), n);
  finish(urb, 0, static_cast<int>(n));
}

void UsbGadget::bulkOut(Urb& urb) {
  faults_.onOut();
  if (faults_.fired(UsbFaultKind::Unplug)) {
    // The device vanishes with this transfer in flight.
    unplugWanted_ = true;
    pending_.push_back(urb);
    disconnect();
    return;
  }
  if (faults_.muted()) {
    pending_.push_back(urb);
    return;
  }
  if (faults_.fired(UsbFaultKind::StallOut))
    haltedOut_ = true;
  if (haltedOut_) {
    ++traffic_.stalls;
    finish(urb, -EPIPE, 0);
    return;
  }
  function_.received(urb.buffer ? urb.buffer->data : nullptr, static_cast<size_t>(urb.length));
  ++traffic_.outTransfers;
  if (traffic_.outSizes.size() < 4096)
    traffic_.outSizes.push_back(static_cast<unsigned>(urb.length));
  if (static_cast<unsigned>(urb.length) > traffic_.largestOut)
    traffic_.largestOut = static_cast<unsigned>(urb.length);
  finish(urb, 0, urb.length);
}

void UsbGadget::fillIn() {
  if (gone_ || faults_.muted())
    return;
  while (!pending_.empty() && pending_.front().endpoint == kBulkInEndpoint) {
    Urb& urb = pending_.front();
    if (haltedIn_) {
      ++traffic_.stalls;
      finish(urb, -EPIPE, 0);
      pending_.pop_front();
      continue;
    }
    if (function_.waiting() == 0)
      return;
    faults_.onIn();
    if (faults_.fired(UsbFaultKind::StallIn)) {
      // The bytes stay with the device and go out once the host clears the halt.
      haltedIn_ = true;
      continue;
    }
    std::vector<uint8_t> bytes;
    function_.take(static_cast<size_t>(urb.length), bytes);
    std::memcpy(urb.buffer->data, bytes.data(), bytes.size());
    finish(urb, 0, static_cast<int>(bytes.size()));
    pending_.pop_front();
  }
}

void UsbGadget::reap(UMockdevIoctlClient* client) {
  fillIn();
  if (done_.empty()) {
    umockdev_ioctl_client_complete(client, -1, gone_ ? ENODEV : EAGAIN);
    return;
  }
  Urb urb = done_.front();
  done_.pop_front();
  UMockdevIoctlData* slot = ResolveIoctlData(umockdev_ioctl_client_get_arg(client), 0, sizeof(void*));
  bool ok = slot && umockdev_ioctl_data_set_ptr(slot, 0, urb.urb);
  umockdev_ioctl_client_complete(client, ok ? 0 : -1, ok ? 0 : EFAULT);
  if (slot)
    g_object_unref(slot);
  release(urb);
}

void UsbGadget::discard(UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  gulong address = 0;
  std::memcpy(&address, arg->data, std::min(sizeof(address), static_cast<size_t>(arg->data_len)));
  for (auto it = pending_.begin(); it != pending_.end(); ++it) {
    if (it->urb->client_addr != address)
      continue;
    ++traffic_.discarded;
    finish(*it, -ENOENT, 0);
    pending_.erase(it);
    umockdev_ioctl_client_complete(client, 0, 0);
    return;
  }
  umockdev_ioctl_client_complete(client, -1, EINVAL);
}

void UsbGadget::finish(Urb& urb, int status, int actual) {
  auto* raw = reinterpret_cast<struct usbdevfs_urb*>(urb.urb->data);
  raw->status = status;
  raw->actual_length = actual;
  done_.push_back(urb);
}

void UsbGadget::release(Urb& urb) {
  if (urb.buffer)
    g_object_unref(urb.buffer);
  if (urb.urb)
    g_object_unref(urb.urb);
  urb = Urb();
}

}  // namespace lab
