// The USB transport `klusb` under the USB stream: a module reached through
// libusb (mode 1) or through the kernel driver node "/dev/kovalink.%08X" (mode 0).
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <libusb.h>

#include "aError.h"

#define klusbModeKernel 0
#define klusbModeLibusb 1

// Transport states.
#define klusbStateCreated 1
#define klusbStateClosed 2
#define klusbStateOpening 3
#define klusbStateOpen 4
#define klusbStateFailed 5

// Bytes per bulk OUT transfer and the size of one IN transfer.
#define klusbWRITE_CHUNK 50
#define klusbREAD_BUFFER 800

typedef struct klusb klusb;

// Returns a zero-filled transport in state 1, or nothing (no memory, or no
// libusb context in mode 1).
klusb* klusb_create_usb(int mode);
// Closes a handle still open, ends the libusb context, frees, clears the pointer.
aErr klusb_destroy(klusb** transport);
// True when the kernel node for the serial number exists and is not a directory.
bool klusb_is_kernel_driver_installed(uint32_t serialNumber);
// serialText: 8 upper-case hexadecimal digits, compared exactly with the device's string.
aErr klusb_open_kovalink_device(klusb* transport, const char* serialText);
aErr klusb_close_kovalink_device(klusb* transport);
aErr klusb_write_to_device(klusb* transport, const uint8_t* bytes, size_t n);
// Hands out one byte; aErrNotReady when none arrived.
aErr klusb_get_from_device(klusb* transport, uint8_t* byte);
// Waits, at most timeoutMS (100 ms for libusb), until get may find a byte or
// report a failure; aErrNotReady when nothing came.
aErr klusb_wait_for_input(klusb* transport, unsigned long timeoutMS);
int klusb_get_state(const klusb* transport);
int klusb_get_mode(const klusb* transport);

// Endpoint search over configuration data: the last interface with class 0xFF,
// subclass 0x88, protocol 0x10 and its last bulk/interrupt IN and OUT
// endpoints. aErrConfiguration without both endpoints.
aErr klusb_find_endpoints(const struct libusb_config_descriptor* config, int* interfaceNumber,
                          uint8_t* inEndpoint, uint8_t* outEndpoint);

// The libusb calls the transport makes; null restores libusb itself. The
// transport is tested through real libusb against the lab's emulated USB bus;
// this table stays for what that bus does not produce (refused access, an I/O
// error on a chosen transfer, a device that never takes data) and for the
// link core's tests under ThreadSanitizer, which run without the bus.
typedef struct klusbBackend {
  int (*init)(libusb_context** context);
  void (*exit)(libusb_context* context);
  ssize_t (*get_device_list)(libusb_context* context, libusb_device*** list);
  void (*free_device_list)(libusb_device** list, int unrefDevices);
  int (*get_device_descriptor)(libusb_device* device, struct libusb_device_descriptor* descriptor);
  int (*get_config_descriptor)(libusb_device* device, uint8_t index,
                               struct libusb_config_descriptor** config);
  void (*free_config_descriptor)(struct libusb_config_descriptor* config);
  int (*open)(libusb_device* device, libusb_device_handle** handle);
  void (*close)(libusb_device_handle* handle);
  int (*get_string_descriptor_ascii)(libusb_device_handle* handle, uint8_t index, unsigned char* data,
                                     int length);
  int (*claim_interface)(libusb_device_handle* handle, int interfaceNumber);
  int (*release_interface)(libusb_device_handle* handle, int interfaceNumber);
  int (*bulk_transfer)(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                       int length, int* transferred, unsigned int timeout);
  int (*clear_halt)(libusb_device_handle* handle, unsigned char endpoint);
} klusbBackend;

void klusb_set_backend(const klusbBackend* backend);
