#include "Interrupt.h"

#include <csignal>

namespace {

volatile std::sig_atomic_t gSignal = 0;

void cbRecord(int signalNumber) {
  if (gSignal != 0) {
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
    return;
  }
  gSignal = signalNumber;
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

int Requested() { return gSignal; }

void Clear() { gSignal = 0; }

}  // namespace Interrupt
