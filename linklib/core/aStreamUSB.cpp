// USB transport: the klusb layer (libusb or the kernel driver node) and the
// USB stream on top of it.
#include "aStreamUSB.h"

#include <atomic>
#include <errno.h>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Log.h"
#include "UserNotice.h"
#include "aAccess.h"
#include "aStream.h"
#include "aStreamUSBBackend.h"
#include "aTime.h"
#include "aUSB.h"

#define aUSB_STREAM_VALID 0xDEAD
#define klusbSERIAL_STRING_MAX 50
#define klusbWRITE_PASSES 100
#define klusbWRITE_TIMEOUT_MS 50
#define klusbREAD_TIMEOUT_MS 100
#define klusbNODE_WRITE_CALLS 1000
#define klusbNODE_DRY_PAUSE_MS 1

struct klusb {
  int mode = 0;
  char serialText[16] = {};
  int nodeFd = -1;
  libusb_context* context = nullptr;
  libusb_device_handle* handle = nullptr;
  // Written by the reader and the writer alike.
  std::atomic<int> state{0};
  int interfaceNumber = 0;
  uint8_t outEndpoint = 0;
  uint8_t inEndpoint = 0;
  // Reader side only.
  uint8_t readBuffer[klusbREAD_BUFFER] = {};
  int readPosition = 0;
  int available = 0;
  // The last node read found nothing (reader side only).
  bool nodeDry = false;
};

typedef struct aUnixUSBStream {
  uint16_t check;
  uint32_t serialNumber;
  klusb* transport;
} aUnixUSBStream;

static const klusbBackend kLibusb = {
    libusb_init,          libusb_exit,        libusb_get_device_list,       libusb_free_device_list,
    libusb_get_device_descriptor, libusb_get_config_descriptor, libusb_free_config_descriptor,
    libusb_open,          libusb_close,       libusb_get_string_descriptor_ascii,
    libusb_claim_interface, libusb_release_interface, libusb_bulk_transfer, libusb_clear_halt,
};
static std::atomic<const klusbBackend*> sBackend{&kLibusb};

void klusb_set_backend(const klusbBackend* backend) { sBackend = backend ? backend : &kLibusb; }

static const klusbBackend* sUsb() { return sBackend.load(); }

klusb* klusb_create_usb(int mode) {
  klusb* t = new (std::nothrow) klusb;
  if (!t)
    return nullptr;
  t->mode = mode;
  if (mode == klusbModeLibusb && sUsb()->init(&t->context) != 0) {
    delete t;
    return nullptr;
  }
  t->state = klusbStateCreated;
  return t;
}

int klusb_get_state(const klusb* transport) { return transport ? transport->state.load() : 0; }
int klusb_get_mode(const klusb* transport) { return transport ? transport->mode : -1; }

aErr klusb_destroy(klusb** transport) {
  if (!transport || !*transport)
    return aErrParam;
  klusb* t = *transport;
  if (t->handle) {
    sUsb()->release_interface(t->handle, t->interfaceNumber);
    sUsb()->close(t->handle);
  }
  if (t->nodeFd >= 0)
    close(t->nodeFd);
  if (t->context)
    sUsb()->exit(t->context);
  delete t;
  *transport = nullptr;
  return aErrNone;
}

bool klusb_is_kernel_driver_installed(uint32_t serialNumber) {
  char path[64];
  snprintf(path, sizeof(path), "/dev/kovalink.%08X", serialNumber);
  struct stat st;
  return stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

aErr klusb_find_endpoints(const struct libusb_config_descriptor* config, int* interfaceNumber, uint8_t* inEndpoint,
                          uint8_t* outEndpoint) {
  if (!config || !interfaceNumber || !inEndpoint || !outEndpoint)
    return aErrParam;
  int found = -1;
  uint8_t in = 0, out = 0;
  for (int i = 0; i < config->bNumInterfaces; i++) {
    const struct libusb_interface* iface = &config->interface[i];
    for (int a = 0; a < iface->num_altsetting; a++) {
      const struct libusb_interface_descriptor* d = &iface->altsetting[a];
      if (d->bInterfaceClass != 0xFF || d->bInterfaceSubClass != 0x88 || d->bInterfaceProtocol != 0x10)
        continue;
      found = d->bInterfaceNumber;
      for (int e = 0; e < d->bNumEndpoints; e++) {
        const struct libusb_endpoint_descriptor* ep = &d->endpoint[e];
        // Bit 1 of the attributes is set for bulk (2) and interrupt (3) transfers.
        if (!(ep->bmAttributes & 0x02))
          continue;
        if (ep->bEndpointAddress & 0x80)
          in = ep->bEndpointAddress;
        else
          out = ep->bEndpointAddress;
      }
    }
  }
  if (found < 0 || !in || !out)
    return aErrConfiguration;
  *interfaceNumber = found;
  *inEndpoint = in;
  *outEndpoint = out;
  return aErrNone;
}

static aErr sSearchEndpoints(klusb* t, libusb_device* device) {
  struct libusb_config_descriptor* config = nullptr;
  if (sUsb()->get_config_descriptor(device, 0, &config) != 0 || !config)
    return aErrConfiguration;
  int iface = 0;
  uint8_t in = 0, out = 0;
  aErr err = klusb_find_endpoints(config, &iface, &in, &out);
  sUsb()->free_config_descriptor(config);
  if (err)
    return aErrConfiguration;
  t->interfaceNumber = iface;
  t->inEndpoint = in;
  t->outEndpoint = out;
  return aErrNone;
}

// Opens the device if it is one of the maker's modules with exactly this serial text.
static libusb_device_handle* sOpenIfMatching(libusb_device* device, const char* serialText) {
  struct libusb_device_descriptor desc;
  if (sUsb()->get_device_descriptor(device, &desc) != 0)
    return nullptr;
  if (desc.idVendor != aUSB_VENDOR_ID || desc.idProduct >= aUSB_PRODUCT_ID_LIMIT)
    return nullptr;
  libusb_device_handle* handle = nullptr;
  int rc = sUsb()->open(device, &handle);
  if (rc == LIBUSB_ERROR_ACCESS)
    aAccess_DeniedUSB(desc.idVendor, desc.idProduct);
  if (rc != 0 || !handle)
    return nullptr;
  unsigned char text[klusbSERIAL_STRING_MAX + 1] = {0};
  int n = desc.iSerialNumber
              ? sUsb()->get_string_descriptor_ascii(handle, desc.iSerialNumber, text, klusbSERIAL_STRING_MAX)
              : -1;
  if (n > 0 && n <= klusbSERIAL_STRING_MAX) {
    text[n] = 0;
    if (strcmp(reinterpret_cast<char*>(text), serialText) == 0)
      return handle;
  }
  sUsb()->close(handle);
  return nullptr;
}

static aErr sClaim(klusb* t, libusb_device* device) {
  t->state = klusbStateOpening;
  aErr err = sSearchEndpoints(t, device);
  if (!err) {
    int rc = sUsb()->claim_interface(t->handle, t->interfaceNumber);
    if (rc == 0) {
      t->state = klusbStateOpen;
      return aErrNone;
    }
    err = (rc == LIBUSB_ERROR_BUSY || rc == LIBUSB_ERROR_NO_DEVICE) ? aErrBusy
          : rc == LIBUSB_ERROR_ACCESS                               ? aErrPermission
                                                                    : aErrUnknown;
  }
  t->state = klusbStateClosed;
  sUsb()->close(t->handle);
  t->handle = nullptr;
  return err;
}

static aErr sOpenLibusb(klusb* t, const char* serialText) {
  if (t->mode != klusbModeLibusb)
    return aErrMode;
  if (t->state == 0)
    return aErrResource;
  libusb_device** list = nullptr;
  ssize_t count = sUsb()->get_device_list(t->context, &list);
  aErr err = aErrNotFound;
  for (ssize_t i = 0; i < count; i++) {
    libusb_device_handle* handle = sOpenIfMatching(list[i], serialText);
    if (!handle)
      continue;
    snprintf(t->serialText, sizeof(t->serialText), "%s", serialText);
    t->handle = handle;
    err = sClaim(t, list[i]);
    break;
  }
  if (list)
    sUsb()->free_device_list(list, 1);
  return err;
}

static aErr sOpenNode(klusb* t, const char* serialText) {
  if (t->mode != klusbModeKernel)
    return aErrMode;
  char path[64];
  snprintf(path, sizeof(path), "/dev/kovalink.%s", serialText);
  t->nodeFd = open(path, O_RDWR);
  if (t->nodeFd < 0 && errno == EACCES) {
    aAccess_DeniedNode(path);
    return aErrPermission;
  }
  if (t->nodeFd < 0)
    return errno == EBUSY ? aErrBusy : aErrIO;
  snprintf(t->serialText, sizeof(t->serialText), "%s", serialText);
  t->state = klusbStateOpen;
  return aErrNone;
}

aErr klusb_open_kovalink_device(klusb* transport, const char* serialText) {
  if (!transport || !serialText)
    return aErrParam;
  return transport->mode == klusbModeLibusb ? sOpenLibusb(transport, serialText) : sOpenNode(transport, serialText);
}

aErr klusb_close_kovalink_device(klusb* transport) {
  if (!transport)
    return aErrParam;
  klusb* t = transport;
  if (t->mode == klusbModeKernel) {
    int rc = t->nodeFd >= 0 ? close(t->nodeFd) : -1;
    t->nodeFd = -1;
    t->state = klusbStateClosed;
    return rc == 0 ? aErrNone : aErrCancel;
  }
  if (t->mode != klusbModeLibusb || !t->handle)
    return aErrMode;
  int rc = sUsb()->release_interface(t->handle, t->interfaceNumber);
  // A module that rebooted has left the bus before its link closes, so the
  // release fails as a matter of course: a diagnostic, not a message for the user.
  // Any other failure is unexpected and worth a line.
  if (rc == LIBUSB_ERROR_NO_DEVICE)
    Log::log(DEBUG_Network, "error release %d\n", rc);
  else if (rc != 0)
    UserNotice::error("Could not release the USB interface of module %s: %s", t->serialText,
                      libusb_strerror(static_cast<libusb_error>(rc)));
  sUsb()->close(t->handle);
  t->handle = nullptr;
  t->state = klusbStateClosed;
  t->inEndpoint = 0;
  t->outEndpoint = 0;
  return aErrNone;
}

// One pass of the libusb write: sends the next chunk at *offset.
static aErr sWriteChunk(klusb* t, const uint8_t* bytes, size_t n, size_t* offset) {
  int chunk = static_cast<int>(n - *offset < klusbWRITE_CHUNK ? n - *offset : klusbWRITE_CHUNK);
  unsigned char* data = const_cast<unsigned char*>(bytes + *offset);
  int done = 0;
  int rc = sUsb()->bulk_transfer(t->handle, t->outEndpoint, data, chunk, &done, klusbWRITE_TIMEOUT_MS);
  if (rc == 0) {
    *offset += static_cast<size_t>(chunk);
    return aErrNone;
  }
  if (rc == LIBUSB_ERROR_PIPE) {
    // Halted endpoint: clear it and repeat the whole chunk in the next pass.
    if (sUsb()->clear_halt(t->handle, t->outEndpoint) != 0) {
      t->state = klusbStateFailed;
      return aErrIO;
    }
    return aErrNone;
  }
  if (done < 0 || done > chunk)
    done = 0;
  int rest = 0;
  rc = sUsb()->bulk_transfer(t->handle, t->outEndpoint, data + done, chunk - done, &rest, klusbWRITE_TIMEOUT_MS);
  if (rc == 0) {
    *offset += static_cast<size_t>(chunk);
    return aErrNone;
  }
  t->state = klusbStateFailed;
  return aErrIO;
}

// What a transfer meets in each state: only an open device moves bytes.
static aErr sOpenForTransfer(const klusb* t) {
  switch (t->state.load()) {
    case klusbStateOpen: return aErrNone;
    case klusbStateClosed: return aErrConnection;
    case klusbStateCreated:
    case klusbStateOpening: return aErrNotReady;
    default: return aErrIO;
  }
}

static aErr sWriteLibusb(klusb* t, const uint8_t* bytes, size_t n) {
  if (aErr err = sOpenForTransfer(t))
    return err;
  size_t offset = 0;
  aErr err = aErrNone;
  for (int pass = 0; pass < klusbWRITE_PASSES && offset < n; pass++)
    err = sWriteChunk(t, bytes, n, &offset);
  if (offset < n)
    return aErrWrite;
  return err;
}

static aErr sWriteNode(klusb* t, const uint8_t* bytes, size_t n) {
  size_t offset = 0;
  for (int calls = 0; calls < klusbNODE_WRITE_CALLS && offset < n; calls++) {
    ssize_t w = write(t->nodeFd, bytes + offset, n - offset);
    if (w < 0)
      return aErrIO;
    offset += static_cast<size_t>(w);
  }
  return offset < n ? aErrIO : aErrNone;
}

aErr klusb_write_to_device(klusb* transport, const uint8_t* bytes, size_t n) {
  if (!transport || (!bytes && n))
    return aErrParam;
  return transport->mode == klusbModeLibusb ? sWriteLibusb(transport, bytes, n) : sWriteNode(transport, bytes, n);
}

static aErr sFillLibusb(klusb* t, unsigned int timeoutMS) {
  if (aErr err = sOpenForTransfer(t))
    return err;
  int got = 0;
  int rc = sUsb()->bulk_transfer(t->handle, t->inEndpoint, t->readBuffer, klusbREAD_BUFFER, &got, timeoutMS);
  if (rc == LIBUSB_ERROR_PIPE) {
    sUsb()->clear_halt(t->handle, t->inEndpoint);
    return aErrNotReady;
  }
  if (rc != 0 && rc != LIBUSB_ERROR_TIMEOUT) {
    t->state = klusbStateFailed;
    return aErrIO;
  }
  if (got <= 0 || got > klusbREAD_BUFFER)
    return aErrNotReady;
  t->readPosition = 0;
  t->available = got;
  return aErrNone;
}

static aErr sGetNode(klusb* t, uint8_t* byte) {
  ssize_t n = read(t->nodeFd, byte, 1);
  t->nodeDry = n != 1;
  if (n == 1)
    return aErrNone;
  if (n == 0 || (n < 0 && (errno == EFAULT || errno == EAGAIN)))
    return aErrNotReady;
  return aErrIO;
}

// The node is polled; a driver that cannot be polled always looks readable,
// so when it just read dry the wait paces itself instead.
static aErr sWaitNode(klusb* t, unsigned long timeoutMS) {
  struct pollfd p = {t->nodeFd, POLLIN, 0};
  int ready = poll(&p, 1, static_cast<int>(timeoutMS));
  if (ready > 0 && t->nodeDry && !(p.revents & (POLLERR | POLLHUP | POLLNVAL))) {
    aTime_MSSleep(timeoutMS < klusbNODE_DRY_PAUSE_MS ? timeoutMS : klusbNODE_DRY_PAUSE_MS);
    return aErrNotReady;
  }
  return ready != 0 ? aErrNone : aErrNotReady;
}

aErr klusb_wait_for_input(klusb* transport, unsigned long timeoutMS) {
  if (!transport)
    return aErrParam;
  klusb* t = transport;
  if (t->mode == klusbModeKernel)
    return sWaitNode(t, timeoutMS);
  if (t->mode != klusbModeLibusb)
    return aErrMode;
  if (t->available > 0)
    return aErrNone;
  unsigned int limit = timeoutMS < klusbREAD_TIMEOUT_MS ? static_cast<unsigned int>(timeoutMS) : klusbREAD_TIMEOUT_MS;
  int state = t->state.load();
  if (state == klusbStateCreated || state == klusbStateOpening) {
    aTime_MSSleep(limit);
    return aErrNotReady;
  }
  // The bulk read itself is the wait; what it brings stays buffered for get.
  aErr err = sFillLibusb(t, limit ? limit : 1);
  return err == aErrNotReady ? aErrNotReady : aErrNone;
}

aErr klusb_get_from_device(klusb* transport, uint8_t* byte) {
  if (!transport || !byte)
    return aErrParam;
  klusb* t = transport;
  if (t->mode == klusbModeKernel)
    return sGetNode(t, byte);
  if (t->mode != klusbModeLibusb)
    return aErrMode;
  if (t->available == 0) {
    aErr err = sFillLibusb(t, klusbREAD_TIMEOUT_MS);
    if (err)
      return err;
  }
  *byte = t->readBuffer[t->readPosition++];
  t->available--;
  return aErrNone;
}

// --- The USB stream. ---

static aUnixUSBStream* sRecord(void* reference) {
  aUnixUSBStream* s = static_cast<aUnixUSBStream*>(reference);
  return (s && s->check == aUSB_STREAM_VALID) ? s : nullptr;
}

static aErr cbUSBGet(uint8_t* byte, void* reference) {
  aUnixUSBStream* s = sRecord(reference);
  return s ? klusb_get_from_device(s->transport, byte) : aErrParam;
}

static aErr cbUSBWait(unsigned long timeoutMS, void* reference) {
  aUnixUSBStream* s = sRecord(reference);
  return s ? klusb_wait_for_input(s->transport, timeoutMS) : aErrParam;
}

static aErr cbUSBWrite(const uint8_t* bytes, size_t length, void* reference) {
  aUnixUSBStream* s = sRecord(reference);
  return s ? klusb_write_to_device(s->transport, bytes, length) : aErrParam;
}

static aErr cbUSBPut(uint8_t byte, void* reference) { return cbUSBWrite(&byte, 1, reference); }

static aErr cbUSBDelete(void* reference) {
  aUnixUSBStream* s = sRecord(reference);
  if (!s)
    return aErrParam;
  aErr err = klusb_close_kovalink_device(s->transport);
  if (err)
    return err;
  klusb_destroy(&s->transport);
  s->check = 0;
  delete s;
  return aErrNone;
}

aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream) {
  if (serialNumber == 0 || !stream)
    return aErrParam;
  int mode = klusb_is_kernel_driver_installed(serialNumber) ? klusbModeKernel : klusbModeLibusb;
  klusb* transport = klusb_create_usb(mode);
  if (!transport)
    return aErrResource;
  char serialText[16];
  snprintf(serialText, sizeof(serialText), "%08X", serialNumber);
  aErr err = klusb_open_kovalink_device(transport, serialText);
  if (err) {
    klusb_destroy(&transport);
    return err;
  }
  aUnixUSBStream* s = new (std::nothrow) aUnixUSBStream;
  aStream* made = s ? aStream_Create(cbUSBGet, cbUSBPut, cbUSBWrite, cbUSBDelete, s) : nullptr;
  if (!made) {
    delete s;
    klusb_close_kovalink_device(transport);
    klusb_destroy(&transport);
    return aErrMemory;
  }
  aStream_SetWait(made, cbUSBWait);
  s->check = aUSB_STREAM_VALID;
  s->serialNumber = serialNumber;
  s->transport = transport;
  *stream = made;
  return aErrNone;
}
