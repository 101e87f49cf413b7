// How a lab program in the foreground learns it is to stop: SIGINT or SIGTERM,
// blocked in every thread and taken either by wait() or, in a poll loop,
// through fd(). Construct it before starting any thread, so all inherit the mask.
#pragma once
#include <signal.h>

namespace lab {

class LabStopSignals {
public:
  LabStopSignals();
  ~LabStopSignals();
  LabStopSignals(const LabStopSignals&) = delete;
  LabStopSignals& operator=(const LabStopSignals&) = delete;

  // Blocks until a stop signal comes; returns it.
  int wait();
  // Readable once a stop signal is pending (a signalfd); -1 if none could be made.
  int fd() const { return fd_; }
  // Sends a stop signal to `thread` to end its wait().
  static void wake(pthread_t thread) { pthread_kill(thread, SIGTERM); }

private:
  sigset_t set_;
  int fd_ = -1;
};

}  // namespace lab
