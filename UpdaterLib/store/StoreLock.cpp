#include "store/StoreLock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <dirent.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Environment.h"
#include "Interrupt.h"
#include "Log.h"
#include "ProcessText.h"
#include "aDirectory.h"
#include "aNumber.h"
#include "aTime.h"
#include "store/BuildPath.h"
#include "store/UpdaterStore.h"

namespace {

// A whole update, with its fifteen reconnection rounds, ends well within this;
// a holder still busy after it is stuck or is a long series of runs, and the
// user is better told than kept waiting in silence for ever.
const StoreLock::Wait kUpdateWait = {0, 300};
const StoreLock::Wait kDownloadWait = {0, 300};
// Entry changes take milliseconds: a short wait is only worth a line when it
// is not short.
const StoreLock::Wait kEntryWait = {1000, 60};
const unsigned kPollMS = 50;
// Test hook only: lets the refusal be seen in seconds.
const char* const kWaitEnvironment = "UPDATER_LOCK_WAIT_SECONDS";

struct Holding {
  int fd;
  int depth;
};

// The lock files this process holds. A process that already holds an entry
// (an update that downloads a missing build) takes it again without waiting
// on itself: flock would make a second open of the same file wait forever.
std::mutex gMutex;
std::map<std::string, Holding> gHeld;

unsigned sLimitSeconds(unsigned fallback) {
  uint32_t seconds = Environment::Seconds(kWaitEnvironment, fallback);
  return seconds < fallback ? seconds : fallback;
}


void sWriteHolder(int fd) {
  std::string text = std::to_string(static_cast<long>(getpid())) + "\n" + ProcessText::CommandLine(0) + "\n";
  if (ftruncate(fd, 0) != 0 || pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
    Log::log(DEBUG_Updater, "UpdaterStore: could not note the holder of a lock (%d).\n", errno);
}

// "process 1234 (updater -U -d 0000BEEF)", or "another process" while the
// holder has not written its name yet.
std::string sHolder(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  char buffer[1024];
  ssize_t length = fd < 0 ? -1 : pread(fd, buffer, sizeof(buffer) - 1, 0);
  if (fd >= 0)
    close(fd);
  std::string text(buffer, length > 0 ? static_cast<size_t>(length) : 0);
  size_t end = text.find('\n');
  uint32_t pid = 0;
  if (end == std::string::npos || aNumber_ParseU32(text.substr(0, end).c_str(), 10, &pid) != aErrNone || pid == 0)
    return "another process";
  size_t commandEnd = text.find('\n', end + 1);
  std::string command = text.substr(end + 1, commandEnd == std::string::npos ? std::string::npos : commandEnd - end - 1);
  return "process " + std::to_string(pid) + " (" + command + ")";
}

std::string sBaseName(const std::string& path) {
  size_t slash = path.find_last_not_of('/');
  std::string trimmed = slash == std::string::npos ? path : path.substr(0, slash + 1);
  size_t at = trimmed.rfind('/');
  return at == std::string::npos ? trimmed : trimmed.substr(at + 1);
}

// The entry holds nothing but the lock file: nothing was recorded in it.
bool sOnlyLockIn(const std::string& directory, const std::string& lockName) {
  DIR* dir = opendir(directory.c_str());
  if (!dir)
    return false;
  bool bare = true;
  while (const dirent* item = readdir(dir)) {
    std::string name = item->d_name;
    if (name != "." && name != ".." && name != lockName)
      bare = false;
  }
  closedir(dir);
  return bare;
}

// Called with the lock still held. A process that waits on the removed file
// finds, once it gets it, that the path no longer names it, and starts over.
void sRemoveBareEntry(const std::string& directory, const std::string& lockPath) {
  if (!sOnlyLockIn(directory, sBaseName(lockPath)))
    return;
  if (unlink(lockPath.c_str()) == 0 && rmdir(directory.c_str()) == 0)
    Log::log(DEBUG_Updater, "UpdaterStore: removed the unused entry [%s].\n", directory.c_str());
}

// Whether the open lock file is still the one the path names (another run may
// have removed an unused entry while this one waited for its lock).
bool sStillNamed(int fd, const std::string& path) {
  struct stat opened, named;
  return fstat(fd, &opened) == 0 && lstat(path.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
         opened.st_ino == named.st_ino;
}

}  // namespace

StoreLock StoreLock::ForUpdate(const std::string& updaterDirectory, uint32_t serialNumber,
                               UpdaterDisplayInterface& display) {
  std::string name = UpdaterStore::DeviceName(serialNumber);
  std::string entry = BuildPath(updaterDirectory.c_str(), name.c_str(), nullptr);
  // A module updated from a file may have no entry yet: it gets one for the
  // lock, and loses it again when nothing else was put there (a module that
  // was not found must not leave an entry behind).
  return StoreLock(BuildPath(entry.c_str(), ".update.lock", nullptr), "Module " + name, "updated", &display,
                   kUpdateWait, entry);
}

StoreLock StoreLock::ForDownload(const std::string& entryDirectory, uint32_t serialNumber, uint32_t build,
                                 UpdaterDisplayInterface& display) {
  std::string file = ".download-" + std::to_string(build) + ".lock";
  std::string subject = "Build " + std::to_string(build) + " for module " + UpdaterStore::DeviceName(serialNumber);
  return StoreLock(BuildPath(entryDirectory.c_str(), file.c_str(), nullptr), subject, "downloaded", &display,
                   kDownloadWait);
}

StoreLock StoreLock::ForEntry(const std::string& entryDirectory, UpdaterDisplayInterface* display) {
  return StoreLock(EntryLockPath(entryDirectory), "The store entry of module " + sBaseName(entryDirectory), "changed",
                   display, kEntryWait);
}

std::string StoreLock::EntryLockPath(const std::string& entryDirectory) {
  return BuildPath(entryDirectory.c_str(), ".lock", nullptr);
}

StoreLock::StoreLock(const std::string& path_, const std::string& subject, const char* activity,
                     UpdaterDisplayInterface* display, Wait wait, const std::string& entry_)
    : path(path_), entry(entry_) {
  state = Acquire(subject, activity, display, wait);
}

StoreLock::~StoreLock() {
  if (state != State::Held)
    return;
  std::lock_guard<std::mutex> guard(gMutex);
  auto it = gHeld.find(path);
  if (it == gHeld.end() || --it->second.depth > 0)
    return;
  // Cleared while still held, so a stale name is never shown as the holder.
  if (ftruncate(it->second.fd, 0) != 0)
    Log::log(DEBUG_Updater, "UpdaterStore: could not clear lock [%s] (%d).\n", path.c_str(), errno);
  if (madeEntry)
    sRemoveBareEntry(entry, path);
  close(it->second.fd);
  gHeld.erase(it);
}

bool StoreLock::HeldHere(const std::string& path) {
  std::lock_guard<std::mutex> guard(gMutex);
  return gHeld.count(path) != 0;
}

StoreLock::State StoreLock::Open(UpdaterDisplayInterface* display, int& fd) {
  struct stat info;
  if (!entry.empty() && stat(entry.c_str(), &info) != 0 && aDirectory_Ensure(entry.c_str(), 0755) == aErrNone)
    madeEntry = true;
  // Never through a symbolic link, which would have its target truncated, and
  // never waiting on a FIFO.
  fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (fd < 0 && errno != ELOOP) {
    Log::log(DEBUG_Updater, "UpdaterStore: cannot open lock [%s] (%d); going on without it.\n", path.c_str(), errno);
    return State::Unavailable;
  }
  if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
    return State::Held;
  if (fd >= 0)
    close(fd);
  fd = -1;
  Log::log(DEBUG_Updater, "UpdaterStore: [%s] is not a regular file; not used as a lock.\n", path.c_str());
  if (display)
    display->message(UpdaterDisplayInterface::Error, "Lock file %s is not a regular file; remove it and run again",
                     path.c_str());
  return State::Refused;
}

StoreLock::State StoreLock::Lock(int fd, const std::string& subject, const char* activity,
                                 UpdaterDisplayInterface* display, Wait wait) {
  unsigned limit = sLimitSeconds(wait.limitSeconds);
  aDeadline quiet = aDeadline_In(wait.quietMS);
  aDeadline end = aDeadline_In(wait.quietMS + uint64_t(limit) * 1000);
  bool told = false;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      // A file system without locks (some network mounts): carry on as before locks existed.
      Log::log(DEBUG_Updater, "UpdaterStore: cannot lock [%s] (%d); going on without it.\n", path.c_str(), errno);
      return State::Unavailable;
    }
    waited = true;
    if (!told && aDeadline_Passed(quiet)) {
      std::string holder = sHolder(path);
      Log::log(DEBUG_Updater, "UpdaterStore: [%s] is held by %s.\n", path.c_str(), holder.c_str());
      if (display)
        display->message(UpdaterDisplayInterface::Info, "%s is being %s by %s; waiting", subject.c_str(), activity,
                         holder.c_str());
      told = true;
    }
    if (Interrupt::Requested() || aDeadline_Passed(end)) {
      Log::log(DEBUG_Updater, "UpdaterStore: gave up waiting for [%s].\n", path.c_str());
      if (!Interrupt::Requested() && display)
        display->message(UpdaterDisplayInterface::Error, "%s is still being %s by %s; gave up after %u seconds",
                         subject.c_str(), activity, sHolder(path).c_str(), limit);
      return State::Refused;
    }
    aTime_MSSleep(kPollMS);
  }
  return State::Held;
}

StoreLock::State StoreLock::Acquire(const std::string& subject, const char* activity,
                                    UpdaterDisplayInterface* display, Wait wait) {
  {
    std::lock_guard<std::mutex> guard(gMutex);
    auto it = gHeld.find(path);
    if (it != gHeld.end()) {
      it->second.depth++;
      return State::Held;
    }
  }
  for (;;) {
    int fd = -1;
    State result = Open(display, fd);
    if (result == State::Held)
      result = Lock(fd, subject, activity, display, wait);
    if (result != State::Held) {
      if (fd >= 0)
        close(fd);
      return result;
    }
    // Taken, but of a file another run removed meanwhile: take the new one.
    if (!sStillNamed(fd, path)) {
      close(fd);
      continue;
    }
    sWriteHolder(fd);
    std::lock_guard<std::mutex> guard(gMutex);
    gHeld[path] = Holding{fd, 1};
    return State::Held;
  }
}
