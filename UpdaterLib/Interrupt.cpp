#include "Interrupt.h"

#include <atomic>
#include <csignal>
#include <cstdint>

#include "aDiscovery.h"
#include "aTime.h"

namespace {

// A signal repeated within this is the same request: coreutils `timeout`
// signals the process and then its whole group, and a user's kill may be
// sent twice in a row. Only a later one means "stop now".
const int64_t kRepeatWindowMS = 1000;

// Written by the handler on whichever thread the signal lands, read by the
// work on others: lock-free atomics are both signal-safe and race-free.
std::atomic<int> gSignal{0};
std::atomic<int64_t> gFirstMS{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler may only touch a lock-free atomic");
static_assert(std::atomic<int64_t>::is_always_lock_free, "the handler may only touch a lock-free atomic");

void cbRecord(int signalNumber) {
  int64_t now = static_cast<int64_t>(aTime_GetMSTicks());
  if (gSignal.load(std::memory_order_relaxed) != 0) {
    if (now - gFirstMS.load(std::memory_order_relaxed) < kRepeatWindowMS)
      return;
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
    return;
  }
  gFirstMS.store(now, std::memory_order_relaxed);
  gSignal.store(signalNumber, std::memory_order_relaxed);
}

bool cbDiscoveryCancel(void) { return gSignal.load(std::memory_order_relaxed) != 0; }

}  // namespace

namespace Interrupt {

void Install() {
  struct sigaction action = {};
  action.sa_handler = cbRecord;
  sigemptyset(&action.sa_mask);
  // Restarted system calls keep the link threads' reads and writes as they
  // are; the work notices the request at its next check.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A reader that goes away (`| head`) must not end an update half done:
  // writes to it fail with EPIPE instead, and the display stops writing there.
  signal(SIGPIPE, SIG_IGN);
  // A module search listens for seconds; a request ends it there too.
  aDiscovery_SetCancel(cbDiscoveryCancel);
}

int Requested() { return gSignal.load(std::memory_order_relaxed); }

void Clear() { gSignal.store(0, std::memory_order_relaxed); }

}  // namespace Interrupt
