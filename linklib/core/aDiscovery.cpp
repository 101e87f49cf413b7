#include "aDiscovery.h"

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <libusb.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "aAccess.h"
#include "aBytes.h"
#include "aNumber.h"
#include "aTime.h"
#include "UserNotice.h"

#define aUSB_SERIAL_TEXT_SIZE 32
#define aUSB_SERIAL_DIGITS 8
// The callback reports at most this many counted modules.
#define aDISCOVERY_MAX_COUNT 255
// The longest a search waits before it asks again whether it is to end.
#define aDISCOVERY_CANCEL_POLL_MS 50

namespace {

struct sCounter {
  aDiscoveryCallback callback;
  void* reference;
  uint8_t count;
  bool goOn;
};

void sReport(sCounter& counter, const linkSpec& spec) {
  bool success = false;
  counter.goOn = counter.callback(&spec, &success, counter.reference);
  if (success && counter.count < aDISCOVERY_MAX_COUNT)
    counter.count++;
}

std::atomic<aDiscoveryCancel> sCancel{nullptr};

bool sCancelled(void) {
  aDiscoveryCancel cancel = sCancel.load(std::memory_order_relaxed);
  return cancel != nullptr && cancel();
}

}  // namespace

void aDiscovery_SetCancel(aDiscoveryCancel cancel) { sCancel.store(cancel, std::memory_order_relaxed); }

bool aDiscovery_IsModuleDevice(uint16_t vendorId, uint16_t productId) {
  return vendorId == aUSB_VENDOR_ID && (productId & 0x8000) == 0;
}

// A string that is not an 8-digit hex number names no module.
static bool sParseSerialText(const char* text, int length, uint32_t* serial) {
  if (!text || length != aUSB_SERIAL_DIGITS)
    return false;
  char digits[aUSB_SERIAL_DIGITS + 1];
  memcpy(digits, text, aUSB_SERIAL_DIGITS);
  digits[aUSB_SERIAL_DIGITS] = '\0';
  // A NUL inside the string would otherwise end the number early.
  return strlen(digits) == aUSB_SERIAL_DIGITS && aNumber_ParseU32(digits, 16, serial) == aErrNone;
}

static bool sCopyToUSBLinkspec(uint16_t productId, uint32_t serialNumber, linkSpec* spec) {
  memset(spec, 0, sizeof(*spec));
  spec->type = linkTypeUSB;
  spec->serialNumber = serialNumber;
  spec->model = productId & 0xFF;
  spec->address = serialNumber;
  return true;
}

bool aDiscovery_DescribeUSBModule(uint16_t productId, const char* serialText, int length, linkSpec* spec) {
  uint32_t serial = 0;
  if (!spec || !sParseSerialText(serialText, length, &serial))
    return false;
  return sCopyToUSBLinkspec(productId, serial, spec);
}

static bool sCopyToTCPIPLinkspec(const uint8_t* reply, int length, uint32_t sourceAddress, linkSpec* spec) {
  // Module address, port and serial number take the first 8 bytes; anything
  // shorter is not a module's reply.
  if (!reply || !spec || length < 8)
    return false;
  memset(spec, 0, sizeof(*spec));
  uint32_t serial = aBytes_GetLE32(&reply[4]);
  spec->type = linkTypeTCPIP;
  spec->serialNumber = serial;
  spec->module = reply[1];
  spec->router = reply[1];
  spec->routerSerialNumber = serial;
  spec->model = length > 12 ? reply[12] : 0xFF;
  spec->address = sourceAddress;
  spec->port = aBytes_GetLE16(&reply[2]);
  return true;
}

bool aDiscovery_DescribeTCPIPModule(const uint8_t* reply, int length, uint32_t sourceAddress, linkSpec* spec) {
  return sCopyToTCPIPLinkspec(reply, length, sourceAddress, spec);
}

// Serial numbers read from modules still on the bus, by where each sits. A search that
// runs every second (a station) need not open a module, in the middle of its update
// maybe, to read again what it read before; an arrival gets a new device address.
struct sKnownUSB {
  uint8_t bus;
  uint8_t address;
  uint16_t productId;
  linkSpec spec;
};
static pthread_mutex_t sKnownUSBMutex = PTHREAD_MUTEX_INITIALIZER;
static std::vector<sKnownUSB> sKnownUSBModules;

static sKnownUSB sUSBPlace(libusb_device* usb, uint16_t productId) {
  sKnownUSB place = {};
  place.bus = libusb_get_bus_number(usb);
  place.address = libusb_get_device_address(usb);
  place.productId = productId;
  return place;
}

static bool sSameUSBPlace(const sKnownUSB& a, const sKnownUSB& b) {
  return a.bus == b.bus && a.address == b.address && a.productId == b.productId;
}

static bool sKnownUSBSpec(const sKnownUSB& place, linkSpec* spec) {
  bool found = false;
  pthread_mutex_lock(&sKnownUSBMutex);
  for (const sKnownUSB& known : sKnownUSBModules) {
    if (sSameUSBPlace(known, place)) {
      *spec = known.spec;
      found = true;
      break;
    }
  }
  pthread_mutex_unlock(&sKnownUSBMutex);
  return found;
}

// A whole walk replaces what was known (modules gone drop out); a walk cut short adds to it.
static void sRememberUSB(const std::vector<sKnownUSB>& seen, bool whole) {
  pthread_mutex_lock(&sKnownUSBMutex);
  if (whole)
    sKnownUSBModules.clear();
  for (const sKnownUSB& place : seen) {
    bool known = false;
    for (const sKnownUSB& k : sKnownUSBModules)
      known = known || sSameUSBPlace(k, place);
    if (!known)
      sKnownUSBModules.push_back(place);
  }
  pthread_mutex_unlock(&sKnownUSBMutex);
}

// Opens the device to read its serial number; false when it cannot be opened or read.
static bool sReadUSBSpec(libusb_device* usb, linkSpec* spec) {
  libusb_device_descriptor descriptor;
  if (libusb_get_device_descriptor(usb, &descriptor) != 0)
    return false;
  libusb_device_handle* handle = nullptr;
  int rc = libusb_open(usb, &handle);
  if (rc == LIBUSB_ERROR_ACCESS)
    aAccess_DeniedUSB(descriptor.idVendor, descriptor.idProduct);
  if (rc != 0)
    return false;
  unsigned char text[aUSB_SERIAL_TEXT_SIZE];
  int length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof(text));
  bool described = aDiscovery_DescribeUSBModule(descriptor.idProduct, reinterpret_cast<const char*>(text), length, spec);
  libusb_close(handle);
  return described;
}

// Calls `visit` for every module on the bus whose serial number can be read, until it
// returns false. False when there is no libusb context.
template <typename Visit>
static bool sWalkUSB(Visit visit) {
  libusb_context* context = nullptr;
  if (libusb_init(&context) != 0)
    return false;
  libusb_device** list = nullptr;
  ssize_t devices = libusb_get_device_list(context, &list);
  bool goOn = true;
  std::vector<sKnownUSB> seen;
  for (ssize_t i = 0; i < devices && goOn; ++i) {
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(list[i], &descriptor) != 0 ||
        !aDiscovery_IsModuleDevice(descriptor.idVendor, descriptor.idProduct))
      continue;
    sKnownUSB place = sUSBPlace(list[i], descriptor.idProduct);
    if (!sKnownUSBSpec(place, &place.spec) && !sReadUSBSpec(list[i], &place.spec))
      continue;
    seen.push_back(place);
    goOn = visit(list[i], place.spec);
  }
  sRememberUSB(seen, goOn && devices >= 0);
  if (devices >= 0)
    libusb_free_device_list(list, 1);
  libusb_exit(context);
  return true;
}

static uint8_t sEnumerateUSB(aDiscoveryCallback callback, void* reference) {
  sCounter counter = {callback, reference, 0, true};
  sWalkUSB([&counter](libusb_device*, const linkSpec& spec) {
    sReport(counter, spec);
    return counter.goOn;
  });
  return counter.count;
}

bool aDiscovery_USBPlace(uint32_t serialNumber, uint8_t* bus, uint8_t* device) {
  bool found = false;
  sWalkUSB([&](libusb_device* usb, const linkSpec& spec) {
    if (spec.serialNumber != serialNumber)
      return true;
    if (bus)
      *bus = libusb_get_bus_number(usb);
    if (device)
      *device = libusb_get_device_address(usb);
    found = true;
    return false;
  });
  return found;
}

// IPv4 address of a socket address in host order, 0 for other families.
static uint32_t SockAddrToUint32(const struct sockaddr* address) {
  if (!address || address->sa_family != AF_INET)
    return 0;
  return ntohl(reinterpret_cast<const struct sockaddr_in*>(address)->sin_addr.s_addr);
}

// The reply port is fixed, and a unicast reply reaches one socket only, so two
// discoveries on one host cannot listen side by side: a second one waits for the port
// as for a lock (a discovery holds it for its 2 s window at most), bounded, and says so.
#define aDISCOVERY_PORT_WAIT_MS 30000
#define aDISCOVERY_PORT_POLL_MS 20

static thread_local bool sPortBusy = false;

static bool sBindReplyPort(int fd) {
  struct sockaddr_in local;
  memset(&local, 0, sizeof(local));
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(aDISCOVERY_REPLY_PORT);
  return bind(fd, reinterpret_cast<struct sockaddr*>(&local), sizeof(local)) == 0;
}

static bool sAwaitReplyPort(int fd) {
  const aDeadline end = aDeadline_In(aDISCOVERY_PORT_WAIT_MS);
  bool told = false;
  for (;;) {
    if (sBindReplyPort(fd))
      return true;
    if (errno != EADDRINUSE || sCancelled())
      return false;
    if (aDeadline_Passed(end)) {
      UserNotice::error("UDP port %d stayed in use for %d s: the network was not searched", aDISCOVERY_REPLY_PORT,
                        aDISCOVERY_PORT_WAIT_MS / 1000);
      sPortBusy = true;
      return false;
    }
    if (!told) {
      UserNotice::error("UDP port %d is in use by another discovery on this host; waiting for it (at most %d s)",
                        aDISCOVERY_REPLY_PORT, aDISCOVERY_PORT_WAIT_MS / 1000);
      told = true;
    }
    aTime_MSSleep(aDISCOVERY_PORT_POLL_MS);
  }
}

static int sTCPIPSetupListener(void) {
  sPortBusy = false;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  struct timeval timeout;
  timeout.tv_sec = aDISCOVERY_RECEIVE_TIMEOUT_MS / 1000;
  timeout.tv_usec = (aDISCOVERY_RECEIVE_TIMEOUT_MS % 1000) * 1000;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0 || !sAwaitReplyPort(fd)) {
    close(fd);
    return -1;
  }
  return fd;
}

bool aDiscovery_PortBusy(void) { return sPortBusy; }

// One request out of the interface with the given address (host order; 0 lets
// the system choose). True when the whole datagram was sent.
static bool sTCPIPMultiCast(uint32_t interfaceAddress) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  bool sent = false;
  int on = 1;
  struct in_addr outgoing;
  outgoing.s_addr = htonl(interfaceAddress);
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0 &&
      (interfaceAddress == 0 || setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof(outgoing)) == 0)) {
    uint8_t request[aDISCOVERY_DATAGRAM_SIZE];
    memset(request, 0, sizeof(request));
    request[0] = 0x01;
    struct sockaddr_in group;
    memset(&group, 0, sizeof(group));
    group.sin_family = AF_INET;
    group.sin_port = htons(aDISCOVERY_REQUEST_PORT);
    inet_pton(AF_INET, aDISCOVERY_GROUP, &group.sin_addr);
    ssize_t n = sendto(fd, request, sizeof(request), 0, reinterpret_cast<struct sockaddr*>(&group), sizeof(group));
    sent = n == static_cast<ssize_t>(sizeof(request));
  }
  close(fd);
  return sent;
}

static bool sIsRequestInterface(uint32_t address) {
  return address != 0 && (address >> 24) != 127;
}

static int sSendRequests(void) {
  struct ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0)
    return sTCPIPMultiCast(0) ? 1 : 0;
  int sent = 0;
  for (struct ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
    uint32_t address = SockAddrToUint32(entry->ifa_addr);
    if (sIsRequestInterface(address) && sTCPIPMultiCast(address))
      sent++;
  }
  freeifaddrs(interfaces);
  return sent;
}

static void sTCPIPCleanup(int* listener) {
  if (*listener >= 0)
    close(*listener);
  *listener = -1;
}

// Waits for the listener to be readable until the deadline; false when it passed
// or the search is to end.
static bool sAwaitReply(int listener, aDeadline deadline) {
  for (;;) {
    uint64_t left = aDeadline_RemainingMS(deadline);
    if (left == 0 || sCancelled())
      return false;
    if (left > aDISCOVERY_CANCEL_POLL_MS)
      left = aDISCOVERY_CANCEL_POLL_MS;
    struct pollfd entry = {listener, POLLIN, 0};
    int ready = poll(&entry, 1, static_cast<int>(left));
    if (ready > 0)
      return true;
    if (ready < 0 && errno != EINTR)
      return false;
  }
}

// A reply already reported: the same module at the same address and port.
static bool sSeen(const std::vector<linkSpec>& seen, const linkSpec& spec) {
  for (const linkSpec& s : seen)
    if (s.serialNumber == spec.serialNumber && s.address == spec.address && s.port == spec.port &&
        s.module == spec.module)
      return true;
  return false;
}

// The replies to one request, each module once, until the window closes.
static void sCollectReplies(int listener, sCounter& counter) {
  // The window is bounded as a whole: responders that keep answering cannot
  // hold the search open, and a module that answers again is reported once.
  const aDeadline deadline = aDeadline_In(aDISCOVERY_RECEIVE_TIMEOUT_MS);
  std::vector<linkSpec> seen;
  while (counter.goOn && sAwaitReply(listener, deadline)) {
    uint8_t reply[aDISCOVERY_DATAGRAM_SIZE];
    memset(reply, 0, sizeof(reply));
    struct sockaddr_in from;
    socklen_t fromLength = sizeof(from);
    ssize_t n = recvfrom(listener, reply, sizeof(reply), MSG_DONTWAIT, reinterpret_cast<struct sockaddr*>(&from),
                         &fromLength);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
        continue;
      break;
    }
    linkSpec spec;
    uint32_t source = htonl(SockAddrToUint32(reinterpret_cast<struct sockaddr*>(&from)));
    if (!sCopyToTCPIPLinkspec(reply, static_cast<int>(n), source, &spec) || sSeen(seen, spec))
      continue;
    seen.push_back(spec);
    sReport(counter, spec);
  }
}

// Threads of one process take turns at the reply port here, rather than by waiting on the bind.
static pthread_mutex_t sTCPIPMutex = PTHREAD_MUTEX_INITIALIZER;

static uint8_t sEnumerateTCPIP(aDiscoveryCallback callback, void* reference) {
  sCounter counter = {callback, reference, 0, true};
  pthread_mutex_lock(&sTCPIPMutex);
  int listener = sTCPIPSetupListener();
  if (listener >= 0) {
    if (!sCancelled() && sSendRequests() > 0)
      sCollectReplies(listener, counter);
    sTCPIPCleanup(&listener);
  }
  pthread_mutex_unlock(&sTCPIPMutex);
  return counter.count;
}

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback, void* reference) {
  if (!callback)
    return 0;
  if (type == linkTypeUSB)
    return sEnumerateUSB(callback, reference);
  if (type == linkTypeTCPIP)
    return sEnumerateTCPIP(callback, reference);
  return 0;
}

static bool cbSNCallback(const linkSpec* spec, bool* success, void* reference) {
  linkSpec* wanted = static_cast<linkSpec*>(reference);
  if (spec->serialNumber != wanted->serialNumber)
    return true;
  *wanted = *spec;
  *success = true;
  return false;
}

static bool cbFirstCallback(const linkSpec* spec, bool* success, void* reference) {
  if (spec->serialNumber == 0)
    return true;
  *static_cast<linkSpec*>(reference) = *spec;
  *success = true;
  return false;
}

static linkSpec* sFind(linkType type, linkSpec* record, aDiscoveryCallback callback) {
  if (!record)
    return nullptr;
  if (aDiscovery_EnumerateModules(type, callback, record) == 0)
    aLinkSpec_Destroy(&record);
  return record;
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber) {
  linkSpec* record = aLinkSpec_Create(type);
  if (record)
    record->serialNumber = serialNumber;
  return sFind(type, record, cbSNCallback);
}

linkSpec* aDiscovery_FindFirstModule(linkType type) {
  return sFind(type, aLinkSpec_Create(type), cbFirstCallback);
}
