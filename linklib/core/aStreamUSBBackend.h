// The libusb side of the USB transport, apart from its public header so that
// the link core's users need no libusb headers: the endpoint search and the
// table of libusb calls that tests replace.
#pragma once
#include <stdint.h>
#include <sys/types.h>

#include <libusb.h>

#include "aError.h"

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
