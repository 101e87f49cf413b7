// One-line messages for devices the system refuses to open for lack of
// permission, saying what grants access. Written to the standard error
// stream, each device once per process (lookups open the same device often).
#pragma once

#include <stddef.h>
#include <stdint.h>

// A module or boot ROM on USB (libusb or hidapi), by vendor and product id.
void aAccess_DeniedUSB(uint16_t vendor, uint16_t product);
// A device node that the udev rules cover, such as the kernel driver's.
void aAccess_DeniedNode(const char* path);
// A serial port: access comes with the port's group (dialout on Debian).
void aAccess_DeniedSerial(const char* path);
// The line aAccess_DeniedSerial writes, into `line` (NUL-terminated, cut to `size`), without writing it.
void aAccess_DeniedSerialText(const char* path, char* line, size_t size);

// How many refusals (reported or not) this process met so far: a search that sees the
// count move could not look at every device.
unsigned aAccess_DeniedCount(void);
