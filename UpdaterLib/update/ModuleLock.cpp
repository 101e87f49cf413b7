#include "update/ModuleLock.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "Environment.h"
#include "Interrupt.h"
#include "Log.h"
#include "ProcessText.h"
#include "aTime.h"

namespace {

// As the store's update lock: a whole update ends well within this.
const unsigned kLimitSeconds = 300;
const unsigned kPollMS = 50;
// Test hook shared with the store locks: lets the refusal be seen in seconds.
const char* const kWaitEnvironment = "UPDATER_LOCK_WAIT_SECONDS";

// Modules this process holds: a second update of one of them here (a fleet naming it
// twice is refused earlier) fails at once rather than waiting on itself.
std::mutex gMutex;
std::set<uint32_t> gHeld;

unsigned sLimitSeconds() {
  uint32_t seconds = Environment::Seconds(kWaitEnvironment, kLimitSeconds);
  return seconds < kLimitSeconds ? seconds : kLimitSeconds;
}

socklen_t sAddress(uint32_t serialNumber, sockaddr_un& address) {
  memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  // sun_path[0] stays 0: the abstract namespace.
  int length = snprintf(address.sun_path + 1, sizeof(address.sun_path) - 1, "kovalink-updater/module/%08X",
                        serialNumber);
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}


std::string sUserName(uid_t uid) {
  struct passwd entry;
  struct passwd* found = nullptr;
  char buffer[1024];
  if (getpwuid_r(uid, &entry, buffer, sizeof(buffer), &found) == 0 && found && found->pw_name)
    return found->pw_name;
  return "uid " + std::to_string(static_cast<unsigned long>(uid));
}

// "process 1234 of user alice (updater -U -d 0000A002)", or "another process" when the
// holder cannot be asked (it may be ending, or in a process namespace of its own).
std::string sHolder(uint32_t serialNumber) {
  sockaddr_un address;
  socklen_t length = sAddress(serialNumber, address);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0)
    return "another process";
  std::string holder = "another process";
  struct ucred credentials;
  socklen_t size = sizeof(credentials);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
      getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 && credentials.pid > 0) {
    holder = "process " + std::to_string(static_cast<long>(credentials.pid)) + " of user " +
             sUserName(credentials.uid);
    std::string command = ProcessText::CommandLine(credentials.pid);
    if (!command.empty())
      holder += " (" + command + ")";
  }
  close(fd);
  return holder;
}

}  // namespace

ModuleLock::ModuleLock(uint32_t serialNumber, UpdaterDisplayInterface& display) : serial_(serialNumber) {
  held_ = Acquire(display);
}

ModuleLock::~ModuleLock() {
  if (fd_ >= 0)
    close(fd_);
  if (held_ && !nested_) {
    std::lock_guard<std::mutex> guard(gMutex);
    gHeld.erase(serial_);
  }
}

bool ModuleLock::Acquire(UpdaterDisplayInterface& display) {
  {
    std::lock_guard<std::mutex> guard(gMutex);
    if (!gHeld.insert(serial_).second) {
      display.message(UpdaterDisplayInterface::Error, "Module %08X is already being updated by this run", serial_);
      nested_ = true;
      return false;
    }
  }
  sockaddr_un address;
  socklen_t length = sAddress(serial_, address);
  const unsigned limit = sLimitSeconds();
  const aDeadline end = aDeadline_In(uint64_t(limit) * 1000);
  bool told = false;
  for (;;) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
      Log::log(DEBUG_Updater, "ModuleLock: no Unix socket (%d); going on without the lock.\n", errno);
      return true;
    }
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(fd_, 4) == 0)
      return true;
    const int error = errno;
    close(fd_);
    fd_ = -1;
    if (error != EADDRINUSE) {
      Log::log(DEBUG_Updater, "ModuleLock: cannot bind (%d); going on without the lock.\n", error);
      return true;
    }
    if (!told) {
      display.message(UpdaterDisplayInterface::Info, "Module %08X is being updated by %s; waiting", serial_,
                      sHolder(serial_).c_str());
      told = true;
    }
    if (Interrupt::Requested() || aDeadline_Passed(end)) {
      if (!Interrupt::Requested())
        display.message(UpdaterDisplayInterface::Error,
                        "Module %08X is still being updated by %s; gave up after %u seconds", serial_,
                        sHolder(serial_).c_str(), limit);
      std::lock_guard<std::mutex> guard(gMutex);
      gHeld.erase(serial_);
      nested_ = true;
      return false;
    }
    aTime_MSSleep(kPollMS);
  }
}
