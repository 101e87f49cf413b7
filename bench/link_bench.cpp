// Measures a link over a socketpair: the round-trip time of one request and
// its reply, and the CPU time the two workers use while the link is idle.
// Usage: link_bench [round trips (default 1000)] [idle seconds (default 3)]
#include <algorithm>
#include <atomic>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "aLink.h"

static double sNowMs(clockid_t clock) {
  struct timespec t;
  clock_gettime(clock, &t);
  return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

// The module end: echoes every frame to address 2, counting frames by their length byte.
static void sEchoModule(int fd, std::atomic<bool>* running) {
  std::vector<uint8_t> frame;
  while (*running) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0)
      continue;
    uint8_t buffer[256];
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n <= 0)
      return;
    for (ssize_t i = 0; i < n; i++) {
      frame.push_back(buffer[i]);
      if (frame.size() >= 2 && frame.size() == frame[1] + 2u) {
        if (frame[0] == 0x02 && send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) < 0)
          return;
        frame.clear();
      }
    }
  }
}

static aErr cbGet(uint8_t* byte, void* reference) {
  ssize_t n = recv(static_cast<int>(reinterpret_cast<intptr_t>(reference)), byte, 1, MSG_DONTWAIT);
  return n == 1 ? aErrNone : n < 0 ? aErrNotReady : aErrEOF;
}
static aErr cbWrite(const uint8_t* bytes, size_t length, void* reference) {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(reference));
  return send(fd, bytes, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length) ? aErrNone : aErrIO;
}
static aErr cbPut(uint8_t byte, void* reference) { return cbWrite(&byte, 1, reference); }
static aErr cbDelete(void* reference) {
  close(static_cast<int>(reinterpret_cast<intptr_t>(reference)));
  return aErrNone;
}

static bool cbReply(const aPacket* packet, void* reference) {
  return packet->dataSize == 2 && packet->data[0] == 0x11 && packet->data[1] == *static_cast<uint8_t*>(reference);
}

static int sRoundTrips(linkRef ref, int rounds, int gapMs, const char* label) {
  std::vector<double> times;
  int lost = 0;
  for (int i = 0; i < rounds; i++) {
    uint8_t sequence = static_cast<uint8_t>(i);
    const uint8_t data[2] = {0x11, sequence};
    aPacket* request = aPacket_CreateWithData(0x02, 2, data);
    if (gapMs) {
      struct timespec gap = {0, gapMs * 1000000L};
      nanosleep(&gap, nullptr);
    }
    double start = sNowMs(CLOCK_MONOTONIC);
    aLink_PutPacket(ref, request);
    aPacket* reply = aLink_AwaitFirst(ref, cbReply, &sequence, 1000);
    double took = sNowMs(CLOCK_MONOTONIC) - start;
    aPacket_Destroy(&request);
    if (!reply) {
      lost++;
      continue;
    }
    aPacket_Destroy(&reply);
    times.push_back(took);
  }
  std::sort(times.begin(), times.end());
  double sum = 0;
  for (double t : times)
    sum += t;
  if (!times.empty())
    printf("round trip, %s, %zu requests: mean %.3f ms, median %.3f ms, p99 %.3f ms, max %.3f ms (%d lost)\n",
           label, times.size(), sum / times.size(), times[times.size() / 2], times[times.size() * 99 / 100],
           times.back(), lost);
  return lost;
}

int main(int argc, char** argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 1000;
  double idleSeconds = argc > 2 ? atof(argv[2]) : 3.0;
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
    return 1;
  std::atomic<bool> running{true};
  std::thread module(sEchoModule, fds[1], &running);
  aStream* stream = aStream_Create(cbGet, cbPut, cbWrite, cbDelete, reinterpret_cast<void*>(intptr_t(fds[0])));
  linkRef ref = aLink_Create(stream);
  if (!ref) {
    fprintf(stderr, "no link\n");
    return 1;
  }

  // Back to back, the 1 ms pause after each written frame paces the
  // requests; with a gap each request meets an idle writer.
  sRoundTrips(ref, rounds, 0, "back to back");
  sRoundTrips(ref, rounds / 4, 3, "3 ms apart  ");

  // Idle: nothing flows; the module thread sleeps in poll, so the process
  // CPU time is the two workers' polling.
  double cpu = sNowMs(CLOCK_PROCESS_CPUTIME_ID);
  double wall = sNowMs(CLOCK_MONOTONIC);
  struct timespec idle = {static_cast<time_t>(idleSeconds), static_cast<long>((idleSeconds - (long)idleSeconds) * 1e9)};
  nanosleep(&idle, nullptr);
  double cpuMs = sNowMs(CLOCK_PROCESS_CPUTIME_ID) - cpu;
  double wallMs = sNowMs(CLOCK_MONOTONIC) - wall;
  printf("idle link: %.1f ms CPU per second (%.1f%% of one core) over %.1f s\n", cpuMs / wallMs * 1000.0,
         cpuMs / wallMs * 100.0, wallMs / 1000.0);

  aLink_Destroy(&ref);
  running = false;
  module.join();
  close(fds[1]);
  return 0;
}
