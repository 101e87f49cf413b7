// The serial port named for a recovery, looked at before anything is sent
// through it or asked of the server: a missing path, a file or a device that
// is no terminal would otherwise pass for a chip that does not answer.
#pragma once
#include <string>

namespace RecoveryPort {

// The port text that selects the i.MX boot ROM's USB HID device instead of a serial port.
extern const char* const kUsb;

// Empty when `port` is a terminal device that opens for reading and writing;
// otherwise the line that says what is wrong with it.
std::string Problem(const std::string& port);

}  // namespace RecoveryPort
