#include "recovery/imx/Serial_SDPLoader.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Log.h"
#include "aAccess.h"
#include "aBytes.h"
#include "aTime.h"

namespace {

constexpr unsigned kMaxOffset = 15;
constexpr size_t kSecurityWordSize = 4;
// The boot ROM opens every reply with its security mode: open or closed part.
constexpr unsigned kHabOpen = 0x56787856, kHabClosed = 0x12343412;
// At most this much is taken per look at the port: a line that never stops
// sending must not keep the reader, nor grow its buffer, without end.
constexpr size_t kMaxTakeBytes = 4096;
constexpr uint64_t kBitsPerByte = 10;  // start, 8 data, stop
constexpr int kStallPollMS = 10;
// A real line may run this much slower than its nominal rate (a UART's
// divisor, an adapter's clock), and the lab's pty line drifts the same way
// under load: a long burst is given that share of its time on top.
constexpr uint64_t kRateTolerancePercent = 3;

bool sSpeed(unsigned baud, speed_t& speed) {
  static const struct {
    unsigned baud;
    speed_t speed;
  } kRates[] = {{9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
                {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};
  for (const auto& rate : kRates)
    if (rate.baud == baud) {
      speed = rate.speed;
      return true;
    }
  return false;
}

}  // namespace

class PrivateSerial_SDPLoader {
public:
  PrivateSerial_SDPLoader(const std::string& port, unsigned rate) : path(port), baud(rate) {}
  ~PrivateSerial_SDPLoader() {
    if (fd >= 0) {
      tcflush(fd, TCIOFLUSH);
      close(fd);
    }
  }

  uint64_t lineTimeUS(size_t bytes) const { return baud ? bytes * kBitsPerByte * 1000000ull / baud : 0; }
  // `bytes` were handed to the port now: they are on the wire after those before them.
  void sent(size_t bytes) {
    uint64_t now = aTime_GetMonotonicUS();
    if (now >= lineFreeAtUS)
      burstStartUS = now;
    lineFreeAtUS = std::max(now, lineFreeAtUS) + lineTimeUS(bytes);
  }
  // When the bytes written so far have left, at the slowest the line may run.
  uint64_t lineFreeByUS() const {
    return lineFreeAtUS + (lineFreeAtUS - burstStartUS) * kRateTolerancePercent / 100;
  }
  // Appends what has arrived; the count.
  ssize_t takeArrived(std::vector<uint8_t>& reply) {
    ssize_t count = 0;
    uint8_t buffer[256];
    ssize_t n;
    while (static_cast<size_t>(count) < kMaxTakeBytes && (n = read(fd, buffer, sizeof(buffer))) > 0) {
      reply.insert(reply.end(), buffer, buffer + n);
      count += n;
    }
    return count;
  }
  // Waits at most until `untilUS` for the port to become ready for `events`.
  void waitFor(short events, uint64_t untilUS) {
    uint64_t now = aTime_GetMonotonicUS();
    if (now >= untilUS)
      return;
    struct pollfd p = {fd, events, 0};
    struct timespec wait;
    wait.tv_sec = static_cast<time_t>((untilUS - now) / 1000000);
    wait.tv_nsec = static_cast<long>((untilUS - now) % 1000000 * 1000);
    ppoll(&p, 1, &wait, nullptr);
  }

  int fd = -1;
  std::string path;  // a copy: the caller's text may not outlive the transport
  unsigned baud;
  struct termios settings {};
  uint64_t lineFreeAtUS = 0;  // when the bytes written so far have left the port
  uint64_t burstStartUS = 0;  // when the line last went busy
  bool denied = false;        // the port refused the user (said on its own line)
};

Serial_SDPLoader::Serial_SDPLoader(const std::string& port, unsigned baud)
    : d(new PrivateSerial_SDPLoader(port, baud)) {}

Serial_SDPLoader::~Serial_SDPLoader() = default;

uint64_t Serial_SDPLoader::lineTimeUS(size_t bytes) const { return d->lineTimeUS(bytes); }

bool Serial_SDPLoader::accessDenied() const { return d->denied; }

bool Serial_SDPLoader::init() {
  if (d->fd >= 0)
    return true;
  speed_t speed = B0;
  if (!sSpeed(d->baud, speed)) {
    Log::log(DEBUG_iMXSerial, "SDP: %u baud is not a rate this port can be set to\n", d->baud);
    return false;
  }
  d->fd = open(d->path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (d->fd < 0) {
    int error = errno;
    Log::log(DEBUG_iMXSerial, "SDP: cannot open %s: %s\n", d->path.c_str(), strerror(error));
    if (error == EACCES) {
      aAccess_DeniedSerial(d->path.c_str());
      d->denied = true;
    }
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
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  // No settle time after this: the ROM's readiness is found by the status
  // requests, each awaited by the line's own deadline and retried.
  tcsetattr(d->fd, TCSAFLUSH, &t);
  tcflush(d->fd, TCIOFLUSH);
  // Pacing sleeps and reply waits should end on time: a byte takes 87 us at 115200.
  aTime_SetPreciseSleeps();
  d->lineFreeAtUS = d->burstStartUS = aTime_GetMonotonicUS();
  return true;
}

ssize_t Serial_SDPLoader::writeData(const std::vector<uint8_t>& packet) {
  if (d->fd < 0 || packet.empty())
    return -1;
  const uint8_t* bytes = packet.data() + 1;
  const size_t want = packet.size() - 1;
  // The port's buffers may hold far more than the line carries in a reply's
  // time; the program keeps its own pace instead.
  uint64_t ahead = std::max<uint64_t>(d->lineTimeUS(kAheadBytes), kAheadMS * 1000ull);
  if (d->lineFreeAtUS > ahead)
    aTime_SleepUntilMonotonicUS(d->lineFreeAtUS - ahead);
  const uint64_t stallUS = kWriteStallMS * 1000ull + d->lineTimeUS(want);
  size_t done = 0;
  uint64_t giveUpAt = aTime_GetMonotonicUS() + stallUS;
  while (done < want) {
    ssize_t n = write(d->fd, bytes + done, want - done);
    if (n > 0) {
      d->sent(static_cast<size_t>(n));
      done += static_cast<size_t>(n);
      giveUpAt = aTime_GetMonotonicUS() + stallUS;
      continue;
    }
    // A port that is gone will not come back within a retry; a full one may drain.
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      Log::log(DEBUG_iMXSerial, "SDP: write to %s failed after %zu of %zu bytes: %s\n", d->path.c_str(), done,
               want, strerror(errno));
      break;
    }
    if (aTime_GetMonotonicUS() >= giveUpAt) {
      Log::log(DEBUG_iMXSerial, "SDP: write to %s stalled for %llu ms after %zu of %zu bytes\n", d->path.c_str(),
               static_cast<unsigned long long>(stallUS / 1000), done, want);
      break;
    }
    d->waitFor(POLLOUT, std::min(giveUpAt, aTime_GetMonotonicUS() + kStallPollMS * 1000));
  }
  return static_cast<ssize_t>(done);
}

ssize_t Serial_SDPLoader::readData(std::vector<uint8_t>& reply, unsigned timeout_ms) {
  if (d->fd < 0)
    return -1;
  ssize_t count = d->takeArrived(reply);
  if (timeout_ms == 0)
    return count;
  // Our bytes must leave, the ROM act, and its reply cross back.
  uint64_t deadline = std::max(aTime_GetMonotonicUS(), d->lineFreeByUS()) + d->lineTimeUS(kReplyBytes) +
                      timeout_ms * 1000ull;
  while (static_cast<size_t>(count) < kReplyBytes && aTime_GetMonotonicUS() < deadline) {
    d->waitFor(POLLIN, deadline);
    count += d->takeArrived(reply);
  }
  return count;
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned offset, unsigned& value) {
  if (offset > kMaxOffset || reply.size() < 4 * (size_t(offset) + 2))
    return false;
  unsigned security = aBytes_GetLE32(reply.data());
  if (security != kHabOpen && security != kHabClosed) {
    Log::log(DEBUG_iMXSerial, "SDP: reply of %zu bytes opens with %08X, not a security mode word\n", reply.size(),
             security);
    return false;
  }
  orWordLE(reply.data() + kSecurityWordSize + offset, value);
  return true;
}
