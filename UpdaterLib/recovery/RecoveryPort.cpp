#include "recovery/RecoveryPort.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "aAccess.h"

namespace RecoveryPort {

const char* const kUsb = "USB";

namespace {

const char* sKindOtherThanDevice(mode_t mode) {
  if (S_ISDIR(mode))
    return "a directory";
  if (S_ISREG(mode))
    return "a regular file";
  if (S_ISFIFO(mode))
    return "a FIFO";
  if (S_ISSOCK(mode))
    return "a socket";
  if (S_ISBLK(mode))
    return "a block device";
  return nullptr;
}

std::string sOpenProblem(const std::string& port) {
  // Non-blocking: a port waiting for its carrier must not hold the run here.
  int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    int error = errno;
    if (error == EACCES || error == EPERM) {
      char line[PATH_MAX + 256];
      aAccess_DeniedSerialText(port.c_str(), line, sizeof(line));
      return line;
    }
    return "Port " + port + " cannot be opened: " + std::strerror(error);
  }
  bool terminal = isatty(fd) == 1;
  close(fd);
  if (!terminal)
    return "Port " + port + " is not a serial port (a device that is not a terminal)";
  return "";
}

}  // namespace

std::string Problem(const std::string& port) {
  struct stat st;
  if (stat(port.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR)
      return "Port " + port + " does not exist";
    return "Port " + port + " cannot be used: " + std::strerror(errno);
  }
  if (const char* kind = sKindOtherThanDevice(st.st_mode))
    return "Port " + port + " is " + kind + ", not a serial port";
  return sOpenProblem(port);
}

}  // namespace RecoveryPort
