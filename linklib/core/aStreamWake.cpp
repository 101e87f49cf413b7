#include "aStreamWake.h"

#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

int aStreamWake_Create(void) { return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

void aStreamWake_Close(int* wakeFd) {
  if (*wakeFd >= 0)
    close(*wakeFd);
  *wakeFd = -1;
}

aErr aStreamWake_Signal(int wakeFd) {
  if (wakeFd < 0)
    return aErrNotReady;
  uint64_t one = 1;
  return write(wakeFd, &one, sizeof(one)) == sizeof(one) || errno == EAGAIN ? aErrNone : aErrIO;
}

aErr aStreamWake_Poll(int fd, int wakeFd, unsigned long timeoutMS) {
  struct pollfd p[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
  int ready = poll(p, wakeFd >= 0 ? 2 : 1, static_cast<int>(timeoutMS));
  if (ready > 0 && wakeFd >= 0 && (p[1].revents & POLLIN)) {
    uint64_t count = 0;
    ssize_t ignored = read(wakeFd, &count, sizeof(count));
    (void)ignored;
  }
  return ready != 0 ? aErrNone : aErrNotReady;
}
