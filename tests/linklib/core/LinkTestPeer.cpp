#include "LinkTestPeer.h"

#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <gtest/gtest.h>

namespace linktest {

static aErr cbPairGet(uint8_t* byte, void* reference) {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(reference));
  ssize_t n = recv(fd, byte, 1, MSG_DONTWAIT);
  if (n == 1)
    return aErrNone;
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
    return aErrNotReady;
  return n == 0 ? aErrEOF : aErrIO;
}

static aErr cbPairWrite(const uint8_t* bytes, size_t length, void* reference) {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(reference));
  return send(fd, bytes, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length) ? aErrNone : aErrIO;
}

static aErr cbPairPut(uint8_t byte, void* reference) { return cbPairWrite(&byte, 1, reference); }

static aErr cbPairDelete(void* reference) {
  close(static_cast<int>(reinterpret_cast<intptr_t>(reference)));
  return aErrNone;
}

aStream* SocketPairStream(int fd) {
  return aStream_Create(cbPairGet, cbPairPut, cbPairWrite, cbPairDelete, reinterpret_cast<void*>(intptr_t(fd)));
}

bool Pty::open() {
  master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
    return false;
  const char* name = ptsname(master);
  if (!name)
    return false;
  slavePath = name;
  return true;
}

void Pty::closeMaster() {
  if (master >= 0)
    close(master);
  master = -1;
}

Pty::~Pty() { closeMaster(); }

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end)
      return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

long Find(const Bytes& bytes, const Bytes& pattern, size_t from) {
  if (pattern.empty() || bytes.size() < pattern.size())
    return -1;
  for (size_t i = from; i + pattern.size() <= bytes.size(); i++)
    if (memcmp(&bytes[i], pattern.data(), pattern.size()) == 0)
      return static_cast<long>(i);
  return -1;
}

size_t Count(const Bytes& bytes, const Bytes& pattern) {
  size_t count = 0;
  for (long at = Find(bytes, pattern); at >= 0; at = Find(bytes, pattern, at + pattern.size()))
    count++;
  return count;
}

// Writes without a broken-pipe signal when the engine's end is already gone.
static ssize_t sWrite(int fd, const uint8_t* bytes, size_t length) {
  ssize_t n = send(fd, bytes, length, MSG_NOSIGNAL);
  if (n < 0 && errno == ENOTSOCK)
    n = write(fd, bytes, length);
  return n;
}

ScriptedModule::ScriptedModule(int fd) : fd_(fd) { thread_ = std::thread([this] { run(); }); }

ScriptedModule::~ScriptedModule() {
  running_ = false;
  thread_.join();
  hangUp();
}

void ScriptedModule::hangUp() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ >= 0)
    close(fd_);
  fd_ = -1;
}

void ScriptedModule::send(const Bytes& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t done = 0;
  while (fd_ >= 0 && done < bytes.size()) {
    ssize_t n = sWrite(fd_, bytes.data() + done, bytes.size() - done);
    if (n <= 0)
      break;
    done += static_cast<size_t>(n);
  }
}

Bytes ScriptedModule::received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<Bytes> ScriptedModule::frames() {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_;
}

bool ScriptedModule::waitFor(const Bytes& pattern, int timeoutMs, size_t count) {
  return WaitUntil([&] { return Count(received(), pattern) >= count; }, timeoutMs);
}

void ScriptedModule::onFrame(const Bytes& frame) {
  frames_.push_back(frame);
  Bytes answer;
  if (frame.size() == 2 && frame[0] == 0xAD && frame[1] == 0 && queryAddress_)
    answer = {queryAddress_.load(), 0};
  else if (echoAddress_ && frame[0] == echoAddress_)
    answer = frame;
  if (!answer.empty() && fd_ >= 0)
    sWrite(fd_, answer.data(), answer.size());
}

void ScriptedModule::run() {
  while (running_) {
    int fd;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      fd = fd_;
    }
    if (fd < 0)
      return;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 5) <= 0 || !(p.revents & POLLIN))
      continue;
    uint8_t buffer[256];
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0)
      return;
    ssize_t n = read(fd_, buffer, sizeof(buffer));
    if (n <= 0)
      continue;
    for (ssize_t i = 0; i < n; i++) {
      received_.push_back(buffer[i]);
      partial_.push_back(buffer[i]);
      if (partial_.size() >= 2 && partial_.size() == static_cast<size_t>(partial_[1]) + 2) {
        onFrame(partial_);
        partial_.clear();
      }
    }
  }
}

static bool sLoopbackUp() {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0)
    return false;
  struct ifreq request;
  memset(&request, 0, sizeof(request));
  strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(s, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags |= IFF_UP;
  ok = ok && ioctl(s, SIOCSIFFLAGS, &request) == 0;
  close(s);
  return ok;
}

void RunInPrivateNetwork(const std::function<void()>& body) {
  std::thread worker([&] {
    // Only this thread (and the threads it starts) enter the new namespace.
    if (unshare(CLONE_NEWNET) != 0 || !sLoopbackUp()) {
      ADD_FAILURE() << "no private network namespace: " << strerror(errno);
      return;
    }
    body();
  });
  worker.join();
}

}  // namespace linktest
