#include "Interrupt.h"

#include <atomic>
#include <csignal>

namespace {

// Written by the handler on whichever thread the signal lands, read by the
// work on others: a lock-free atomic is both signal-safe and race-free.
std::atomic<int> gSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler may only touch a lock-free atomic");

void cbRecord(int signalNumber) {
  if (gSignal.load(std::memory_order_relaxed) != 0) {
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
    return;
  }
  gSignal.store(signalNumber, std::memory_order_relaxed);
}

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
}

int Requested() { return gSignal.load(std::memory_order_relaxed); }

void Clear() { gSignal.store(0, std::memory_order_relaxed); }

}  // namespace Interrupt
