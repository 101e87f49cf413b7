#include "LabStopSignals.h"

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace lab {

LabStopSignals::LabStopSignals() {
  sigemptyset(&set_);
  sigaddset(&set_, SIGINT);
  sigaddset(&set_, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set_, nullptr);
  // Whoever started the program may stop reading its output after "ready".
  signal(SIGPIPE, SIG_IGN);
  fd_ = signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK);
}

LabStopSignals::~LabStopSignals() {
  if (fd_ >= 0)
    close(fd_);
}

int LabStopSignals::wait() {
  int signal = 0;
  sigwait(&set_, &signal);
  return signal;
}

}  // namespace lab
