#include "FrameCapture.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "LabNetwork.h"

namespace bench {

namespace {

// The ring the kernel copies packets into: 4,096 slots of 4 KiB, enough that
// a busy update loses no segment while the reader sleeps.
const unsigned kSlotBytes = 4096;
const unsigned kBlockBytes = 1 << 20;
const unsigned kBlocks = 16;
const unsigned kSlots = kBlocks * (kBlockBytes / kSlotBytes);
const long kDrainPauseNs = 5000000;

uint16_t sBig16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t sBig32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// The filter's last two instructions: drop and keep. A jump skips that many
// instructions, so the jump at instruction `at` reaches them by these.
const unsigned kDrop = 22, kKeep = 23;
constexpr uint8_t sToDrop(unsigned at) { return static_cast<uint8_t>(kDrop - at - 1); }
constexpr uint8_t sToKeep(unsigned at) { return static_cast<uint8_t>(kKeep - at - 1); }

// Lets the kernel copy into the ring only what segment() can use: IPv4 TCP
// arriving for the ports, with a SYN (it restarts a connection) or payload.
// Without it every packet arriving on the interfaces is copied into the ring
// in the softirq of the program that sent it, and the measurement would
// charge that copy to the programs under test. The packet is seen from its
// IPv4 header on; every failed test lands on the drop.
bool sAttachFilter(int fd, uint16_t firstPort, uint16_t lastPort) {
  struct sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, uint32_t(SKF_AD_OFF + SKF_AD_PKTTYPE)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_HOST, 0, sToDrop(1)),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, uint32_t(SKF_AD_OFF + SKF_AD_PROTOCOL)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, 0, sToDrop(3)),
      BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 0),  // version
      BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0xF0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x40, 0, sToDrop(6)),
      BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 9),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_TCP, 0, sToDrop(8)),
      BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),  // X = IPv4 header length
      BPF_STMT(BPF_LD | BPF_H | BPF_IND, 2),  // destination port
      BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, firstPort, 0, sToDrop(11)),
      BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, lastPort, sToDrop(12), 0),
      BPF_STMT(BPF_LD | BPF_B | BPF_IND, 13),
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x02, sToKeep(14), 0),  // SYN
      BPF_STMT(BPF_LD | BPF_B | BPF_IND, 12),  // TCP header length in its top 4 bits
      BPF_STMT(BPF_ALU | BPF_RSH | BPF_K, 4),
      BPF_STMT(BPF_ALU | BPF_LSH | BPF_K, 2),
      BPF_STMT(BPF_ALU | BPF_ADD | BPF_X, 0),
      BPF_STMT(BPF_MISC | BPF_TAX, 0),  // X = both headers
      BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 2),  // IPv4 total length
      BPF_JUMP(BPF_JMP | BPF_JGT | BPF_X, 0, sToKeep(21), 0),
      BPF_STMT(BPF_RET | BPF_K, 0),  // kDrop
      BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFF),  // kKeep
  };
  static_assert(sizeof(code) / sizeof(code[0]) == kKeep + 1, "the drop and keep are the last two");
  struct sock_fprog program = {static_cast<unsigned short>(sizeof(code) / sizeof(code[0])), code};
  return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof(program)) == 0;
}

}  // namespace

FrameCapture::FrameCapture(const std::string& netns, uint16_t port) : FrameCapture(netns, port, port) {}

FrameCapture::FrameCapture(const std::string& netns, uint16_t firstPort, uint16_t lastPort)
    : firstPort_(firstPort), lastPort_(lastPort) {
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

// Opens the packet socket in the namespace, with its filter and its ring
// mapped at `ring`; -1 with error_ set when it cannot.
int FrameCapture::openSocket(const std::string& netns, void*& ring) {
  int fd = -1;
  {
    std::unique_ptr<testsupport::NetnsScope> scope;
    if (!netns.empty()) scope.reset(new testsupport::NetnsScope(netns));
    if (scope && !scope->ok()) {
      error_ = "cannot enter " + netns;
      return -1;
    }
    // No protocol yet, so that nothing reaches the socket before its filter and ring.
    fd = socket(AF_PACKET, SOCK_DGRAM, 0);
  }
  if (fd < 0) {
    error_ = std::string("packet socket: ") + strerror(errno);
    return -1;
  }
  // A ring rather than reads: the kernel stamps each packet as it passes the
  // tap, whereas a read stamps a packet the kernel queued unstamped (as it
  // does while it is still turning time stamps on) when it is read.
  int version = TPACKET_V2;
  struct tpacket_req request = {kBlockBytes, kBlocks, kSlotBytes, kSlots};
  // Every protocol: the filter picks the packets.
  struct sockaddr_ll all = {};
  all.sll_family = AF_PACKET;
  all.sll_protocol = htons(ETH_P_ALL);
  // Packets this namespace sends never reach the tap: the kernel would clone
  // each one for it before the filter could drop it, in the sender's send.
  int ignoreOutgoing = 1;
  if (!sAttachFilter(fd, firstPort_, lastPort_))
    error_ = std::string("packet filter: ") + strerror(errno);
  else if (setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &ignoreOutgoing, sizeof(ignoreOutgoing)) != 0)
    error_ = std::string("packet socket: ") + strerror(errno);
  else if (setsockopt(fd, SOL_PACKET, PACKET_VERSION, &version, sizeof(version)) != 0 ||
           setsockopt(fd, SOL_PACKET, PACKET_RX_RING, &request, sizeof(request)) != 0 ||
           (ring = mmap(nullptr, size_t(kBlockBytes) * kBlocks, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)) == MAP_FAILED)
    error_ = std::string("packet ring: ") + strerror(errno);
  else if (bind(fd, reinterpret_cast<struct sockaddr*>(&all), sizeof(all)) != 0)
    error_ = std::string("packet socket: ") + strerror(errno);
  if (error_.empty()) return fd;
  if (ring != MAP_FAILED) munmap(ring, size_t(kBlockBytes) * kBlocks);
  ring = MAP_FAILED;
  close(fd);
  return -1;
}

void FrameCapture::run(const std::string& netns) {
  void* ring = MAP_FAILED;
  int fd = openSocket(netns, ring);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ready_ = true;
  }
  opened_.notify_all();
  // Drains in batches every few milliseconds rather than waiting on the socket:
  // a reader asleep on it would be woken by every segment, and that wake-up
  // is paid inside the measured program's send. Drains what is queued after
  // stop() too, so that the last frames are not lost.
  unsigned next = 0;
  while (fd >= 0) {
    bool stopping = !running_;
    while (take(static_cast<uint8_t*>(ring) + size_t(next) * kSlotBytes))
      next = (next + 1) % kSlots;
    if (stopping) break;
    struct timespec pause = {0, kDrainPauseNs};
    nanosleep(&pause, nullptr);
  }
  if (ring != MAP_FAILED) munmap(ring, size_t(kBlockBytes) * kBlocks);
  if (fd >= 0) close(fd);
}

// Takes the packet in one ring slot, if the kernel has filled it, passes an
// arriving IPv4 one on and gives the slot back; false when it is empty.
bool FrameCapture::take(uint8_t* slot) {
  struct tpacket2_hdr* header = reinterpret_cast<struct tpacket2_hdr*>(slot);
  if (!(__atomic_load_n(&header->tp_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER)) return false;
  const struct sockaddr_ll* from =
      reinterpret_cast<const struct sockaddr_ll*>(slot + TPACKET_ALIGN(sizeof(struct tpacket2_hdr)));
  if (from->sll_pkttype == PACKET_HOST && from->sll_protocol == htons(ETH_P_IP)) {
    if (header->tp_snaplen < header->tp_len)
      gaps_++;  // cut short: not all of its bytes were seen
    else
      segment(slot + header->tp_net, header->tp_snaplen, header->tp_sec * 1000.0 + header->tp_nsec / 1e6);
  }
  __atomic_store_n(&header->tp_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
  return true;
}

// One IPv4 packet: keeps the TCP payload bound for the ports, new bytes only.
void FrameCapture::segment(const uint8_t* ip, size_t length, double ms) {
  if (length < 20 || (ip[0] >> 4) != 4 || ip[9] != IPPROTO_TCP) return;
  size_t ipHeader = (ip[0] & 0x0F) * 4u;
  size_t total = sBig16(ip + 2) < length ? sBig16(ip + 2) : length;
  if (total < ipHeader + 20) return;
  const uint8_t* tcp = ip + ipHeader;
  size_t tcpHeader = (tcp[12] >> 4) * 4u;
  const uint16_t port = sBig16(tcp + 2);
  if (port < firstPort_ || port > lastPort_ || total < ipHeader + tcpHeader) return;
  size_t payload = total - ipHeader - tcpHeader;
  uint32_t seq = sBig32(tcp + 4);
  bool syn = tcp[13] & 0x02;
  Connection& c = connections_[uint64_t(sBig32(ip + 12)) << 32 | uint32_t(sBig16(tcp)) << 16 | port];
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
  bytes(c, port, tcp + tcpHeader + skip, payload - skip, ms);
  c.next += static_cast<uint32_t>(payload - skip);
}

void FrameCapture::bytes(Connection& c, uint16_t port, const uint8_t* data, size_t length, double ms) {
  for (size_t i = 0; i < length; i++) {
    if (c.partial.empty()) c.partialMs = ms;
    c.partial.push_back(data[i]);
    if (c.partial.size() >= 2 && c.partial.size() == c.partial[1] + 2u) {
      CapturedFrame frame;
      frame.ms = c.partialMs;
      frame.port = port;
      frame.address = c.partial[0];
      frame.data.assign(c.partial.begin() + 2, c.partial.end());
      frames_.push_back(std::move(frame));
      c.partial.clear();
    }
  }
}

}  // namespace bench
