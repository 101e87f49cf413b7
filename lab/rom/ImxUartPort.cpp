#include "rom/ImxUartPort.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "rom/ImxChip.h"
#include "sim/ModuleHost.h"

namespace lab {

namespace {

constexpr int kPollMs = 20;  // how soon stop() is noticed

void MakeRaw(int fd) {
  struct termios t;
  if (tcgetattr(fd, &t) != 0)
    return;
  cfmakeraw(&t);
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  tcsetattr(fd, TCSANOW, &t);
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

void ImxUartPort::run() {
  std::vector<uint8_t> out;
  while (!stopping_) {
    struct pollfd p = {master_, static_cast<short>(POLLIN | (out.empty() ? 0 : POLLOUT)), 0};
    if (poll(&p, 1, kPollMs) <= 0)
      continue;
    if (p.revents & POLLIN) {
      uint8_t buffer[4096];
      ssize_t n = read(master_, buffer, sizeof(buffer));
      if (n > 0)
        chip_.uart(buffer, static_cast<size_t>(n), out, LabNowMs());
    }
    if (!out.empty()) {
      ssize_t n = write(master_, out.data(), out.size());
      if (n > 0)
        out.erase(out.begin(), out.begin() + n);
    }
  }
}

}  // namespace lab
