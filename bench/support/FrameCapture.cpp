#include "FrameCapture.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "LabNetwork.h"

namespace bench {

namespace {

const size_t kSnapBytes = 65536;
const int kReceiveBuffer = 8 << 20;  // enough that a busy update loses no segment
const long kDrainPauseNs = 5000000;

uint16_t sBig16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t sBig32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

}  // namespace

FrameCapture::FrameCapture(const std::string& netns, uint16_t port) : port_(port) {
  thread_ = std::thread(&FrameCapture::run, this, netns);
  std::unique_lock<std::mutex> lock(mutex_);
  opened_.wait(lock, [this] { return ready_; });
}

FrameCapture::~FrameCapture() { stop(); }

std::vector<CapturedFrame> FrameCapture::stop() {
  running_ = false;
  if (thread_.joinable()) thread_.join();
  return frames_;
}

clockid_t FrameCapture::cpuClock() {
  clockid_t clock = CLOCK_THREAD_CPUTIME_ID;
  pthread_getcpuclockid(thread_.native_handle(), &clock);
  return clock;
}

void FrameCapture::run(const std::string& netns) {
  int fd = -1;
  {
    std::unique_ptr<testsupport::NetnsScope> scope;
    if (!netns.empty()) scope.reset(new testsupport::NetnsScope(netns));
    bool inside = !scope || scope->ok();
    // Outgoing packets reach only the taps that take every protocol.
    if (inside) fd = socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_ALL));
    if (fd < 0) error_ = inside ? std::string("packet socket: ") + strerror(errno) : "cannot enter " + netns;
  }
  int on = 1;
  if (fd >= 0) {
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on));
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof(kReceiveBuffer));
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ready_ = true;
  }
  opened_.notify_all();
  std::vector<uint8_t> buffer(kSnapBytes);
  // Drains in batches every few milliseconds rather than waiting on the socket:
  // a reader asleep on it would be woken by every segment, and that wake-up
  // is paid inside the measured program's send. The kernel keeps the time
  // stamps, so reading late changes nothing. Drains what is queued after
  // stop() too, so that the last frames are not lost.
  while (fd >= 0) {
    bool stopping = !running_;
    while (drain(fd, buffer) > 0) {
    }
    if (stopping) break;
    struct timespec pause = {0, kDrainPauseNs};
    nanosleep(&pause, nullptr);
  }
  if (fd >= 0) close(fd);
}

// Takes one queued packet, if any, and passes an outgoing IPv4 one on; 0 when
// nothing is queued.
ssize_t FrameCapture::drain(int fd, std::vector<uint8_t>& buffer) {
  struct sockaddr_ll from {};
  char control[256];
  struct iovec io = {buffer.data(), buffer.size()};
  struct msghdr message {};
  message.msg_name = &from;
  message.msg_namelen = sizeof(from);
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof(control);
  ssize_t n = recvmsg(fd, &message, MSG_DONTWAIT);
  if (n <= 0) return 0;
  if (from.sll_pkttype != PACKET_OUTGOING || from.sll_protocol != htons(ETH_P_IP)) return n;
  double ms = 0;
  for (struct cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
      struct timespec t;
      memcpy(&t, CMSG_DATA(c), sizeof(t));
      ms = t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
    }
  }
  segment(buffer.data(), static_cast<size_t>(n), ms);
  return n;
}

// One IPv4 packet: keeps the TCP payload bound for the port, new bytes only.
void FrameCapture::segment(const uint8_t* ip, size_t length, double ms) {
  if (length < 20 || (ip[0] >> 4) != 4 || ip[9] != IPPROTO_TCP) return;
  size_t ipHeader = (ip[0] & 0x0F) * 4u;
  size_t total = sBig16(ip + 2) < length ? sBig16(ip + 2) : length;
  if (total < ipHeader + 20) return;
  const uint8_t* tcp = ip + ipHeader;
  size_t tcpHeader = (tcp[12] >> 4) * 4u;
  if (sBig16(tcp + 2) != port_ || total < ipHeader + tcpHeader) return;
  size_t payload = total - ipHeader - tcpHeader;
  uint32_t seq = sBig32(tcp + 4);
  bool syn = tcp[13] & 0x02;
  Connection& c = connections_[sBig16(tcp)];
  if (syn) {
    c = Connection();
    c.started = true;
    c.next = seq + 1;
  }
  if (payload == 0) return;
  if (!c.started) {
    c.started = true;
    c.next = seq;
  }
  int32_t ahead = static_cast<int32_t>(seq - c.next);
  if (ahead > 0) {
    gaps_++;
    return;
  }
  size_t skip = static_cast<size_t>(-ahead);
  if (skip >= payload) return;  // a retransmission of bytes already seen
  bytes(c, tcp + tcpHeader + skip, payload - skip, ms);
  c.next += static_cast<uint32_t>(payload - skip);
}

void FrameCapture::bytes(Connection& c, const uint8_t* data, size_t length, double ms) {
  for (size_t i = 0; i < length; i++) {
    if (c.partial.empty()) c.partialMs = ms;
    c.partial.push_back(data[i]);
    if (c.partial.size() >= 2 && c.partial.size() == c.partial[1] + 2u) {
      CapturedFrame frame;
      frame.ms = c.partialMs;
      frame.address = c.partial[0];
      frame.data.assign(c.partial.begin() + 2, c.partial.end());
      frames_.push_back(std::move(frame));
      c.partial.clear();
    }
  }
}

}  // namespace bench
