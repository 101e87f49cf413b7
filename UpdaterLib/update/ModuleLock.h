// One update of a module at a time on this host, whichever user and store start it.
//
// The lock is an abstract-namespace Unix socket named after the serial number, bound and
// listening while the update runs. Binding it is the test-and-set; the kernel frees the
// name when its holder exits however it exits, and no file is left behind to follow or
// to be planted by another user. A waiter connects to the holder to learn who it is
// (pid and uid from the socket's credentials, the command line from /proc).
// Abstract names belong to the network namespace: runs that see the same modules share
// one, while tests in namespaces of their own never wait on each other.
#pragma once
#include <cstdint>
#include <string>

#include "UpdaterDisplayInterface.h"

class ModuleLock {
public:
  // Blocks until taken, refused (wait limit, Ctrl-C) or found impossible.
  ModuleLock(uint32_t serialNumber, UpdaterDisplayInterface& display);
  ~ModuleLock();
  ModuleLock(const ModuleLock&) = delete;
  ModuleLock& operator=(const ModuleLock&) = delete;

  // False only when another process kept the module for the whole wait (or Ctrl-C):
  // a host without Unix sockets updates as before the lock existed.
  bool Held() const { return held_; }

private:
  bool Acquire(UpdaterDisplayInterface& display);

  uint32_t serial_;
  int fd_ = -1;
  bool held_ = false;
  bool nested_ = false;
};
