#include "rom/ImxUartPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "rom/ImxChip.h"
#include "sim/ModuleHost.h"

namespace lab {

namespace {

constexpr double kPollMs = 20;       // how soon stop() is noticed
// What a paced chip reads ahead of the line: 16 bytes, or 10 ms of the line
// when that is more, served at half full.
constexpr size_t kRxFifo = 16;
constexpr double kRxFifoMs = 10;
constexpr size_t kReadAhead = 4096;  // unpaced: whatever the pty holds
constexpr unsigned kBaud = 115200;   // when the host's rate is not one known here

void MakeRaw(int fd) {
  struct termios t;
  if (tcgetattr(fd, &t) != 0)
    return;
  cfmakeraw(&t);
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  tcsetattr(fd, TCSANOW, &t);
}

unsigned sBaud(speed_t speed) {
  static const struct {
    speed_t speed;
    unsigned baud;
  } kRates[] = {{B1200, 1200},     {B2400, 2400},     {B4800, 4800},     {B9600, 9600},
                {B19200, 19200},   {B38400, 38400},   {B57600, 57600},   {B115200, 115200},
                {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
  for (const auto& rate : kRates)
    if (rate.speed == speed)
      return rate.baud;
  return kBaud;
}

double sNowMs() {
  using Clock = std::chrono::steady_clock;
  return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
}

}  // namespace

ImxUartPort::~ImxUartPort() { stop(); }

bool ImxUartPort::start(const std::string& link, std::string& error) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    error = std::string("pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  path_ = ptsname(master_);
  slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
  if (slave_ < 0) {
    error = "open " + path_ + ": " + std::strerror(errno);
    return false;
  }
  MakeRaw(slave_);
  MakeRaw(master_);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  if (!link.empty()) {
    unlink(link.c_str());
    if (symlink(path_.c_str(), link.c_str()) != 0) {
      error = "--link " + link + ": " + std::strerror(errno);
      return false;
    }
    link_ = link;
  }
  thread_ = std::thread([this] { run(); });
  return true;
}

void ImxUartPort::stop() {
  stopping_ = true;
  if (thread_.joinable())
    thread_.join();
  if (!link_.empty())
    unlink(link_.c_str());
  link_.clear();
  if (slave_ >= 0)
    close(slave_);
  if (master_ >= 0)
    close(master_);
  slave_ = master_ = -1;
}

double ImxUartPort::byteMs(unsigned baud) const { return options_.pace && baud ? 10000.0 / baud : 0.0; }

// The rate the host set on its end of the line (the pty's termios are shared).
unsigned ImxUartPort::hostBaud() const {
  struct termios t;
  if (tcgetattr(slave_, &t) != 0)
    return kBaud;
  return sBaud(cfgetospeed(&t));
}

void ImxUartPort::run() {
  // Byte times are down to 11 us: wake up on time.
  prctl(PR_SET_TIMERSLACK, 1UL);
  while (!stopping_) {
    double now = sNowMs();
    perByteMs_ = byteMs(hostBaud());
    receive(now);
    feed(now);
    send(now);
    wait(sNowMs());
  }
}

size_t ImxUartPort::readAhead() const {
  if (!options_.pace || perByteMs_ <= 0)
    return kReadAhead;
  return std::min(kReadAhead, std::max(kRxFifo, static_cast<size_t>(kRxFifoMs / perByteMs_)));
}

void ImxUartPort::receive(double now) {
  size_t limit = readAhead();
  if (in_.size() >= limit)
    return;
  uint8_t buffer[kReadAhead];
  size_t want = limit - in_.size();
  ssize_t n = read(master_, buffer, want);
  if (n <= 0) {
    backlog_ = false;
    return;
  }
  // Bytes that waited in the pty behind others were on the line right after
  // them, however late this thread came to read them: the line does not slow
  // down because a process was not scheduled. Only after the pty ran dry may
  // the line have idled.
  if (!backlog_)
    rxEndMs_ = std::max(now, rxEndMs_);
  for (ssize_t i = 0; i < n; i++) {
    rxEndMs_ += perByteMs_;
    in_.push_back(TimedByte{buffer[i], rxEndMs_});
  }
  backlog_ = static_cast<size_t>(n) == want;
}

// Hands the chip the bytes that have arrived; what it answers leaves after
// the byte that asked, one byte time each.
void ImxUartPort::feed(double now) {
  std::vector<uint8_t> batch, reply;
  while (!in_.empty() && in_.front().atMs <= now && busyUntilMs_ <= now) {
    // A chip that was busy takes the byte when it is free again.
    double arrived = std::max(in_.front().atMs, busyUntilMs_);
    batch.clear();
    // Paced, byte by byte, so an answer leaves after its own byte.
    do {
      batch.push_back(in_.front().byte);
      in_.pop_front();
    } while (!options_.pace && !in_.empty() && in_.front().atMs <= now);
    reply.clear();
    unsigned statusBefore = chip_.statusRequests();
    chip_.uart(batch.data(), batch.size(), reply, LabNowMs());
    if (reply.empty())
      continue;
    bool late = statusBefore < options_.lateStatus && chip_.statusRequests() >= options_.lateStatus;
    txEndMs_ = std::max(arrived + options_.answerDelayMs + (late ? options_.lateMs : 0), txEndMs_);
    for (uint8_t b : reply) {
      txEndMs_ += perByteMs_;
      out_.push_back(TimedByte{b, txEndMs_});
    }
    if (late) {
      busyUntilMs_ = txEndMs_;
      break;
    }
  }
}

void ImxUartPort::send(double now) {
  std::vector<uint8_t> batch;
  for (size_t i = 0; i < out_.size() && out_[i].atMs <= now; i++)
    batch.push_back(out_[i].byte);
  if (batch.empty())
    return;
  ssize_t n = write(master_, batch.data(), batch.size());
  if (n > 0)
    out_.erase(out_.begin(), out_.begin() + n);
  blocked_ = n < static_cast<ssize_t>(batch.size());
}

void ImxUartPort::wait(double now) {
  double next = now + kPollMs;
  // A full FIFO is served when half of it has come, as a UART interrupts at a
  // watermark: waking for every byte at a high rate could not keep up.
  size_t limit = readAhead();
  if (!in_.empty())
    next = std::min(next, std::max(busyUntilMs_, in_[in_.size() >= limit ? limit / 2 : 0].atMs));
  if (!out_.empty() && !blocked_)
    next = std::min(next, out_.front().atMs);
  struct pollfd p = {master_, 0, 0};
  if (in_.size() < limit)
    p.events |= POLLIN;
  if (blocked_)
    p.events |= POLLOUT;
  double waitMs = std::max(0.0, next - now);
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(waitMs / 1000);
  ts.tv_nsec = static_cast<long>((waitMs - ts.tv_sec * 1000.0) * 1e6);
  if (ppoll(&p, 1, &ts, nullptr) > 0 && (p.revents & POLLOUT))
    blocked_ = false;
}

}  // namespace lab
