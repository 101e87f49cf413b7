// The USB transport `klusb` under the USB stream: a module reached through
// libusb (mode 1) or through the kernel driver node "/dev/kovalink.%08X" (mode 0).
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

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
