#include "ScriptedPeer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "TestSupport.h"

namespace testsupport {

namespace {
const uint8_t kControlAddress = 0xAF;
const uint8_t kQueryAddress = 0xAD;
// How long the peer's thread waits for input before it looks at stop and drop again.
const int kPollMs = 5;

// The peer whose thread is running here, so that a responder's refuseFor can act at once.
thread_local const ScriptedPeer* tServing = nullptr;

uint64_t sNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void sPause(int ms) { poll(nullptr, 0, ms); }

// Writes without a broken-pipe signal when the host's end is already gone.
void sWriteAll(int fd, const Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK)
      n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0)
      return;
    done += static_cast<size_t>(n);
  }
}
}  // namespace

Bytes Frame::bytes() const {
  Bytes all{address, static_cast<uint8_t>(data.size())};
  all.insert(all.end(), data.begin(), data.end());
  return all;
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

uint32_t ScriptedPeer::LoopbackAddress() { return htonl(INADDR_LOOPBACK); }

ScriptedPeer::ScriptedPeer(uint8_t address, bool answerQueries)
    : channel_(false), address_(address), answerQueries_(answerQueries) {
  listen();
  start();
}

ScriptedPeer::ScriptedPeer(Channel channel, uint8_t address, bool answerQueries)
    : channel_(true), address_(address), answerQueries_(answerQueries), channelFd_(channel.fd) {
  // Set before the thread runs, so that a send right after construction is not lost.
  current_ = channelFd_;
  start();
}

ScriptedPeer::~ScriptedPeer() {
  stop();
  closeListener();
}

void ScriptedPeer::start() { thread_ = std::thread(&ScriptedPeer::run, this); }

void ScriptedPeer::stop() {
  stop_ = true;
  drop();
  if (thread_.joinable())
    thread_.join();
}

bool ScriptedPeer::listen() {
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  if (listener_ < 0)
    return false;
  int on = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  struct sockaddr_in local;
  memset(&local, 0, sizeof(local));
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  local.sin_port = htons(port_);  // 0 the first time: an ephemeral port, kept from then on
  if (bind(listener_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 || ::listen(listener_, 4) != 0) {
    closeListener();
    return false;
  }
  socklen_t length = sizeof(local);
  getsockname(listener_, reinterpret_cast<sockaddr*>(&local), &length);
  port_ = ntohs(local.sin_port);
  return true;
}

void ScriptedPeer::closeListener() {
  if (listener_ >= 0)
    close(listener_);
  listener_ = -1;
}

void ScriptedPeer::setResponder(Responder responder) {
  std::lock_guard<std::mutex> lock(mutex_);
  responder_ = responder;
}

void ScriptedPeer::setOnConnect(std::function<void()> onConnect) {
  std::lock_guard<std::mutex> lock(mutex_);
  onConnect_ = onConnect;
}

ScriptedPeer::Responder ScriptedPeer::Table(const std::map<Bytes, Bytes>& replies) {
  return [replies](const Frame& frame) {
    Bytes key{frame.address};
    key.insert(key.end(), frame.data.begin(), frame.data.end());
    auto found = replies.find(key);
    return found == replies.end() ? Bytes() : found->second;
  };
}

ScriptedPeer::Responder ScriptedPeer::Echo(uint8_t address) {
  return [address](const Frame& frame) { return frame.address == address ? frame.bytes() : Bytes(); };
}

void ScriptedPeer::send(const Bytes& bytes) {
  std::lock_guard<std::mutex> lock(writeMutex_);
  if (current_ >= 0)
    sWriteAll(current_, bytes);
}

void ScriptedPeer::reply(const Bytes& data) { send(Frame{address_, data}.bytes()); }

void ScriptedPeer::drop() {
  std::lock_guard<std::mutex> lock(writeMutex_);
  int fd = current_.exchange(-1);
  // The host sees the end at once; the peer's thread closes the descriptor
  // (a pseudo-terminal cannot be shut down: it goes when the thread notices).
  if (fd >= 0)
    shutdown(fd, SHUT_RDWR);
}

void ScriptedPeer::refuseFor(unsigned ms) {
  refuseUntil_ = sNowMs() + ms;
  // From a responder the listener can go at once, before the host reacts.
  if (tServing == this)
    closeListener();
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

Bytes ScriptedPeer::wire() {
  std::lock_guard<std::mutex> lock(mutex_);
  return wire_;
}

bool ScriptedPeer::waitFor(const Bytes& pattern, int timeoutMS, size_t count) {
  return WaitUntil([&] { return Count(wire(), pattern) >= count; }, timeoutMS);
}

bool ScriptedPeer::awaitDisconnect(int timeoutMS) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMS), [this] { return !connected_; });
}

void ScriptedPeer::run() {
  tServing = this;
  if (channel_) {
    connection(channelFd_);
    return;
  }
  while (!stop_) {
    if (sNowMs() < refuseUntil_) {
      // Refusing means not listening at all, so a connect fails at once.
      closeListener();
      sPause(10);
      continue;
    }
    if (listener_ < 0 && !listen()) {
      sPause(10);
      continue;
    }
    struct pollfd waiting = {listener_, POLLIN, 0};
    if (poll(&waiting, 1, kPollMs) <= 0)
      continue;
    int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0)
      continue;
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    connection(fd);
  }
}

// One connection at a time, served on the peer's thread, which alone closes it.
void ScriptedPeer::connection(int fd) {
  ++connections_;
  std::function<void()> onConnect;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = true;
    onConnect = onConnect_;
  }
  if (!channel_)
    current_ = fd;
  if (onConnect)
    onConnect();
  serve(fd);
  {
    std::lock_guard<std::mutex> lock(writeMutex_);
    int expected = fd;
    current_.compare_exchange_strong(expected, -1);
    close(fd);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = false;
  }
  changed_.notify_all();
}

// Splits the byte stream into frames by counting: address, length, data.
void ScriptedPeer::serve(int fd) {
  Bytes pending;
  while (!stop_ && current_ == fd) {
    struct pollfd waiting = {fd, POLLIN, 0};
    if (poll(&waiting, 1, kPollMs) <= 0)
      continue;
    if (!(waiting.revents & POLLIN)) {
      if (!channel_)
        return;
      sPause(kPollMs);  // a pseudo-terminal whose other end is not open (yet or again)
      continue;
    }
    uint8_t chunk[256];
    ssize_t n = read(fd, chunk, sizeof(chunk));
    if (n == 0)
      return;
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN)
        continue;
      if (channel_ && errno == EIO) {
        sPause(kPollMs);
        continue;
      }
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      wire_.insert(wire_.end(), chunk, chunk + n);
    }
    pending.insert(pending.end(), chunk, chunk + n);
    while (current_ == fd && pending.size() >= 2 && pending.size() >= 2u + pending[1]) {
      Frame frame;
      frame.address = pending[0];
      frame.data.assign(pending.begin() + 2, pending.begin() + 2 + pending[1]);
      pending.erase(pending.begin(), pending.begin() + 2 + pending[1]);
      handle(frame);
    }
  }
}

void ScriptedPeer::handle(const Frame& frame) {
  if (frame.address == kQueryAddress && frame.data.empty()) {
    ++queries_;
    if (answerQueries_)
      reply({});
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
    Bytes answer = responder(frame);
    if (!answer.empty())
      send(answer);
  }
}

}  // namespace testsupport
