// Measures one TCP/IP link to an echoing module on loopback, inside a private network
// namespace (needs root), and prints one line: back-to-back requests, each awaiting its
// reply, as a fraction of the pacing bound (frames x 1 ms), with the gaps between the
// frames as seen on the wire and the CPU the process uses meanwhile; the round trip of a
// request that meets an idle link; the CPU of a link with nothing to do.
// Usage: link_bench [round trips (default 1000)] [idle seconds (default 3)]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "FrameCapture.h"
#include "LabNetwork.h"
#include "aLink.h"

namespace {

const uint8_t kModuleAddress = 0x02;
const uint8_t kEcho = 0x11;
const double kPaceMs = 1.0;

double sNowMs(clockid_t clock) {
  struct timespec t;
  clock_gettime(clock, &t);
  return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

double sMedian(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The module end: accepts one connection and sends every frame to its address straight back.
void sEchoModule(int listener, std::atomic<bool>* running) {
  int fd = accept(listener, nullptr, nullptr);
  std::vector<uint8_t> frame;
  while (fd >= 0 && *running) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    uint8_t buffer[256];
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; i++) {
      frame.push_back(buffer[i]);
      if (frame.size() >= 2 && frame.size() == frame[1] + 2u) {
        if (frame[0] == kModuleAddress && send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) < 0) break;
        frame.clear();
      }
    }
  }
  if (fd >= 0) close(fd);
}

bool cbReply(const aPacket* packet, void* reference) {
  return packet->dataSize == 2 && packet->data[0] == kEcho && packet->data[1] == *static_cast<uint8_t*>(reference);
}

// Round trips of `rounds` requests, `gapMs` apart (0: back to back); their times in ms.
std::vector<double> sRoundTrips(linkRef ref, int rounds, int gapMs) {
  std::vector<double> times;
  for (int i = 0; i < rounds; i++) {
    uint8_t sequence = static_cast<uint8_t>(i);
    const uint8_t data[2] = {kEcho, sequence};
    aPacket* request = aPacket_CreateWithData(kModuleAddress, 2, data);
    if (gapMs) {
      struct timespec gap = {0, gapMs * 1000000L};
      nanosleep(&gap, nullptr);
    }
    double start = sNowMs(CLOCK_MONOTONIC);
    aLink_PutPacket(ref, request);
    aPacket* reply = aLink_AwaitFirst(ref, cbReply, &sequence, 1000);
    aPacket_Destroy(&request);
    if (reply) times.push_back(sNowMs(CLOCK_MONOTONIC) - start);
    aPacket_Destroy(&reply);
  }
  return times;
}

// CPU of this process except the module's and the capture's threads, over a stretch of wall time.
class CpuMeter {
public:
  explicit CpuMeter(std::vector<clockid_t> others) : others_(others) { start(); }
  void start() {
    cpu_ = own();
    wall_ = sNowMs(CLOCK_MONOTONIC);
  }
  double fraction() const { return (own() - cpu_) / (sNowMs(CLOCK_MONOTONIC) - wall_); }

private:
  double own() const {
    double ms = sNowMs(CLOCK_PROCESS_CPUTIME_ID);
    for (clockid_t other : others_) ms -= sNowMs(other);
    return ms;
  }
  std::vector<clockid_t> others_;
  double cpu_ = 0;
  double wall_ = 0;
};

struct Busy {
  size_t frames = 0;
  double ratio = 0;
  double medianGapMs = 0;
  double minGapMs = 0;
  size_t underPace = 0;  // gaps seen on the wire shorter than the pace
};

// The request frames as seen on the wire: n of them take n pace slots at best.
Busy sBusyPace(const std::vector<bench::CapturedFrame>& frames) {
  Busy busy;
  std::vector<double> starts;
  for (const bench::CapturedFrame& f : frames)
    if (f.address == kModuleAddress && f.data.size() == 2 && f.data[0] == kEcho) starts.push_back(f.ms);
  if (starts.size() < 2) return busy;
  std::vector<double> gaps;
  for (size_t i = 1; i < starts.size(); i++) gaps.push_back(starts[i] - starts[i - 1]);
  busy.frames = starts.size();
  busy.ratio = starts.size() * kPaceMs / (starts.back() - starts.front() + kPaceMs);
  busy.medianGapMs = sMedian(gaps);
  busy.minGapMs = *std::min_element(gaps.begin(), gaps.end());
  busy.underPace = static_cast<size_t>(std::count_if(gaps.begin(), gaps.end(), [](double g) { return g < kPaceMs; }));
  return busy;
}

int sListen(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, 1) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return -1;
  *port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 1000;
  double idleSeconds = argc > 2 ? atof(argv[2]) : 3.0;
  std::string why;
  if (!testsupport::EnterPrivateNetwork(&why)) {
    fprintf(stderr, "link_bench: %s\n", why.c_str());
    return 2;
  }
  uint16_t port = 0;
  int listener = sListen(&port);
  if (listener < 0) {
    fprintf(stderr, "link_bench: no listening socket\n");
    return 1;
  }
  std::atomic<bool> running{true};
  std::thread module(sEchoModule, listener, &running);
  clockid_t moduleClock;
  pthread_getcpuclockid(module.native_handle(), &moduleClock);
  linkRef ref = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), port);
  if (!ref) {
    fprintf(stderr, "link_bench: no link\n");
    return 1;
  }
  sRoundTrips(ref, 20, 0);  // warm-up

  bench::FrameCapture capture("", port);
  CpuMeter busyMeter({moduleClock, capture.cpuClock()});
  std::vector<double> backToBack = sRoundTrips(ref, rounds, 0);
  double busyCpu = busyMeter.fraction();
  Busy busy = sBusyPace(capture.stop());

  std::vector<double> apart = sRoundTrips(ref, rounds / 4, 3);

  // Idle: nothing flows, the module thread sleeps in poll.
  CpuMeter meter({moduleClock});
  struct timespec idle = {static_cast<time_t>(idleSeconds), static_cast<long>((idleSeconds - (long)idleSeconds) * 1e9)};
  nanosleep(&idle, nullptr);
  double idleCpu = meter.fraction();

  aLink_Destroy(&ref);
  running = false;
  module.join();
  close(listener);
  int lost = rounds - static_cast<int>(backToBack.size()) + rounds / 4 - static_cast<int>(apart.size());
  if (!capture.ok() || busy.frames == 0) {
    fprintf(stderr, "link_bench: frames not seen on the wire: %s\n", capture.error().c_str());
    return 1;
  }
  printf("link_bench: back to back throughput %.3f of pace (%zu frames, gap median %.3f min %.3f ms, %zu under 1 ms), "
         "CPU %.3f of a core; idle-link round trip median %.3f ms; idle link CPU %.4f of a core (%d lost)\n",
         busy.ratio, busy.frames, busy.medianGapMs, busy.minGapMs, busy.underPace, busyCpu, sMedian(apart), idleCpu,
         lost);
  return lost ? 1 : 0;
}
