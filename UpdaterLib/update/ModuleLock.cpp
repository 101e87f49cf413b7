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

#include "Interrupt.h"
#include "Log.h"
#include "aNumber.h"
#include "aTime.h"

namespace {

// As the store's update lock: a whole update ends well within this.
const unsigned kLimitSeconds = 300;
const unsigned kPollMS = 50;
const size_t kMaxCommandText = 300;
// Test hook shared with the store locks: lets the refusal be seen in seconds.
const char* const kWaitEnvironment = "UPDATER_LOCK_WAIT_SECONDS";

// Modules this process holds: a second update of one of them here (a fleet naming it
// twice is refused earlier) fails at once rather than waiting on itself.
std::mutex gMutex;
std::set<uint32_t> gHeld;

unsigned sLimitSeconds() {
  const char* text = std::getenv(kWaitEnvironment);
  uint32_t seconds = 0;
  if (!text || aNumber_ParseU32(text, 10, &seconds) != aErrNone || seconds == 0)
    return kLimitSeconds;
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

// The program and its arguments on one line, cut to a length fit for a message.
std::string sCommandLine(pid_t pid) {
  std::string path = "/proc/" + std::to_string(static_cast<long>(pid)) + "/cmdline";
  FILE* file = fopen(path.c_str(), "re");
  if (!file)
    return std::string();
  char buffer[4096];
  size_t length = fread(buffer, 1, sizeof(buffer), file);
  fclose(file);
  std::string raw(buffer, length);
  // The program without its directory, as the user would type it.
  const size_t slash = raw.rfind('/', raw.find('\0'));
  std::string text = slash == std::string::npos ? raw : raw.substr(slash + 1);
  while (!text.empty() && text.back() == '\0')
    text.pop_back();
  for (char& c : text)
    if (c == '\0' || c == '\n' || c == '\r' || c == '\t')
      c = ' ';
  return text.size() > kMaxCommandText ? text.substr(0, kMaxCommandText) + "..." : text;
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
    std::string command = sCommandLine(credentials.pid);
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
