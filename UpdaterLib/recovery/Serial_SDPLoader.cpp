#include "recovery/Serial_SDPLoader.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Log.h"
#include "aAccess.h"
#include "aTime.h"

namespace {

constexpr unsigned kSettleMS = 1000;
constexpr unsigned kRetryMS = 1;
constexpr unsigned kMaxOffset = 15;
constexpr size_t kSecurityWordSize = 4;

}  // namespace

class PrivateSerial_SDPLoader {
public:
  explicit PrivateSerial_SDPLoader(const std::string& port) : path(port) {}
  ~PrivateSerial_SDPLoader() {
    if (fd >= 0) {
      tcflush(fd, TCIOFLUSH);
      close(fd);
    }
  }

  int fd = -1;
  std::string path;  // a copy: the caller's text may not outlive the transport
  struct termios settings {};
};

Serial_SDPLoader::Serial_SDPLoader(const std::string& port) : d(new PrivateSerial_SDPLoader(port)) {}

Serial_SDPLoader::~Serial_SDPLoader() = default;

bool Serial_SDPLoader::init() {
  if (d->fd >= 0)
    return true;
  d->fd = open(d->path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (d->fd < 0) {
    Log::log(DEBUG_iMXSerial, "SDP: cannot open %s: %s\n", d->path.c_str(), strerror(errno));
    if (errno == EACCES)
      aAccess_DeniedSerial(d->path.c_str());
    return false;
  }
  if (!isatty(d->fd)) {
    Log::log(DEBUG_iMXSerial, "SDP: %s is not a terminal\n", d->path.c_str());
    close(d->fd);
    d->fd = -1;
    return false;
  }
  struct termios& t = d->settings;
  tcgetattr(d->fd, &t);
  t.c_iflag = 0;
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cflag = CS8 | CREAD | CLOCAL;
  std::memset(t.c_cc, 0, sizeof(t.c_cc));
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  tcsetattr(d->fd, TCSAFLUSH, &t);
  aTime_MSSleep(kSettleMS);
  tcflush(d->fd, TCIOFLUSH);
  return true;
}

ssize_t Serial_SDPLoader::writeData(const std::vector<uint8_t>& packet) {
  if (d->fd < 0 || packet.empty())
    return -1;
  const uint8_t* bytes = packet.data() + 1;
  const size_t want = packet.size() - 1;
  size_t done = 0;
  uint64_t lastProgress = aTime_GetMSTicks();
  while (done < want) {
    ssize_t n = write(d->fd, bytes + done, want - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      lastProgress = aTime_GetMSTicks();
      continue;
    }
    // A port that is gone will not come back within a retry; a full one may drain.
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      Log::log(DEBUG_iMXSerial, "SDP: write to %s failed after %zu of %zu bytes: %s\n", d->path.c_str(), done,
               want, strerror(errno));
      break;
    }
    if (aTime_GetMSTicks() - lastProgress >= kWriteStallMS) {
      Log::log(DEBUG_iMXSerial, "SDP: write to %s stalled for %u ms after %zu of %zu bytes\n", d->path.c_str(),
               kWriteStallMS, done, want);
      break;
    }
    aTime_MSSleep(kRetryMS);
  }
  // A reply is awaited from when the bytes are on the wire, not from when the
  // kernel took them: at 115200 baud a 1024-byte packet needs about 90 ms.
  if (done == want)
    tcdrain(d->fd);
  return static_cast<ssize_t>(done);
}

ssize_t Serial_SDPLoader::readData(std::vector<uint8_t>& reply, unsigned timeout_ms) {
  if (d->fd < 0)
    return -1;
  aTime_MSSleep(timeout_ms);
  ssize_t count = 0;
  uint8_t byte = 0;
  while (read(d->fd, &byte, 1) == 1) {
    reply.push_back(byte);
    count++;
  }
  return count;
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned offset, unsigned& value) {
  if (offset > kMaxOffset || reply.size() < 4 * (size_t(offset) + 2))
    return false;
  orWordLE(reply.data() + kSecurityWordSize + offset, value);
  return true;
}
