#include "ScriptedPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace testsupport {

namespace {
const uint8_t kControlAddress = 0xAF;
const uint8_t kQueryAddress = 0xAD;

void sWriteAll(int fd, const Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0)
      return;
    done += static_cast<size_t>(n);
  }
}
}  // namespace

uint32_t ScriptedPeer::LoopbackAddress() { return htonl(INADDR_LOOPBACK); }

ScriptedPeer::ScriptedPeer(uint8_t address, bool answerQueries) : address_(address), answerQueries_(answerQueries) {
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  struct sockaddr_in local;
  memset(&local, 0, sizeof(local));
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  local.sin_port = 0;
  if (bind(listener_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) == 0 && listen(listener_, 4) == 0) {
    socklen_t length = sizeof(local);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&local), &length);
    port_ = ntohs(local.sin_port);
  }
  thread_ = std::thread(&ScriptedPeer::run, this);
}

ScriptedPeer::~ScriptedPeer() {
  stop_ = true;
  thread_.join();
  close(listener_);
}

void ScriptedPeer::setResponder(Responder responder) {
  std::lock_guard<std::mutex> lock(mutex_);
  responder_ = responder;
}

ScriptedPeer::Responder ScriptedPeer::Table(const std::map<Bytes, Bytes>& replies) {
  return [replies](const Frame& frame) {
    Bytes key{frame.address};
    key.insert(key.end(), frame.data.begin(), frame.data.end());
    auto found = replies.find(key);
    return found == replies.end() ? Bytes() : found->second;
  };
}

void ScriptedPeer::send(const Bytes& bytes) {
  int fd = current_;
  if (fd >= 0)
    sWriteAll(fd, bytes);
}

bool ScriptedPeer::nextFrame(Frame* frame, int timeoutMS) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMS), [this] { return !frames_.empty(); }))
    return false;
  *frame = frames_.front();
  frames_.erase(frames_.begin());
  return true;
}

size_t ScriptedPeer::pendingFrames() {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_.size();
}

std::vector<Frame> ScriptedPeer::controlFrames() {
  std::lock_guard<std::mutex> lock(mutex_);
  return control_;
}

bool ScriptedPeer::awaitDisconnect(int timeoutMS) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMS), [this] { return !connected_; });
}

void ScriptedPeer::run() {
  while (!stop_) {
    struct pollfd waiting = {listener_, POLLIN, 0};
    if (poll(&waiting, 1, 20) <= 0)
      continue;
    int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0)
      continue;
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    ++connections_;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connected_ = true;
    }
    current_ = fd;
    serve(fd);
    current_ = -1;
    close(fd);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connected_ = false;
    }
    changed_.notify_all();
  }
}

// Splits the byte stream into frames by counting: address, length, data.
void ScriptedPeer::serve(int fd) {
  Bytes pending;
  while (!stop_) {
    struct pollfd waiting = {fd, POLLIN, 0};
    if (poll(&waiting, 1, 20) <= 0)
      continue;
    uint8_t chunk[256];
    ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
    if (n <= 0)
      return;
    pending.insert(pending.end(), chunk, chunk + n);
    while (pending.size() >= 2 && pending.size() >= 2u + pending[1]) {
      Frame frame;
      frame.address = pending[0];
      frame.data.assign(pending.begin() + 2, pending.begin() + 2 + pending[1]);
      pending.erase(pending.begin(), pending.begin() + 2 + pending[1]);
      handle(fd, frame);
    }
  }
}

void ScriptedPeer::handle(int fd, const Frame& frame) {
  if (frame.address == kQueryAddress && frame.data.empty()) {
    ++queries_;
    if (answerQueries_)
      sWriteAll(fd, Bytes{address_, 0});
    return;
  }
  Responder responder;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (frame.address == kControlAddress)
      control_.push_back(frame);
    else
      frames_.push_back(frame);
    responder = responder_;
  }
  changed_.notify_all();
  if (frame.address != kControlAddress && responder) {
    Bytes reply = responder(frame);
    if (!reply.empty())
      sWriteAll(fd, reply);
  }
}

}  // namespace testsupport
