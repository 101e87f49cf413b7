#include "LinkTestChannels.h"

#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <thread>

#include "PrivateNetwork.h"

namespace linktest {

static aErr cbPairGet(uint8_t* byte, void* reference) {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(reference));
  ssize_t n = recv(fd, byte, 1, MSG_DONTWAIT);
  if (n == 1)
    return aErrNone;
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
    return aErrNotReady;
  return n == 0 ? aErrEOF : aErrIO;
}

static aErr cbPairWrite(const uint8_t* bytes, size_t length, void* reference) {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(reference));
  return send(fd, bytes, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length) ? aErrNone : aErrIO;
}

static aErr cbPairPut(uint8_t byte, void* reference) { return cbPairWrite(&byte, 1, reference); }

static aErr cbPairDelete(void* reference) {
  close(static_cast<int>(reinterpret_cast<intptr_t>(reference)));
  return aErrNone;
}

aStream* SocketPairStream(int fd) {
  return aStream_Create(cbPairGet, cbPairPut, cbPairWrite, cbPairDelete, reinterpret_cast<void*>(intptr_t(fd)));
}

bool Pty::open() {
  master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
    return false;
  const char* name = ptsname(master);
  if (!name)
    return false;
  slavePath = name;
  return true;
}

void Pty::closeMaster() {
  if (master >= 0)
    close(master);
  master = -1;
}

Pty::~Pty() { closeMaster(); }

void RunInPrivateNetwork(const std::function<void()>& body) {
  std::thread worker([&] {
    // Only this thread (and the threads it starts) enter the new namespace.
    std::string why = "unshare(CLONE_NEWNET): ";
    if (unshare(CLONE_NEWNET) != 0) {
      ADD_FAILURE() << "no private network namespace: " << why << strerror(errno);
      return;
    }
    if (!testsupport::BringUpLoopback(why)) {
      ADD_FAILURE() << why;
      return;
    }
    body();
  });
  worker.join();
}

}  // namespace linktest
