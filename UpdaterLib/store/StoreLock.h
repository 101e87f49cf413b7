// Advisory locks that keep two updater processes sharing one store (two
// stations on one home directory, or a second run started by the user) from
// corrupting a module's entry or losing its history.
//
// Three kinds, all files inside the module's directory:
//   ".update.lock"        held for the whole -U of the module: two transfers
//                         into one module at once would wreck its firmware;
//   ".download-N.lock"    held while build N is fetched, so a second run
//                         asking for the same build waits and reuses it;
//   ".lock"               held briefly around every change to the entry
//                         (writing a file, sweeping temporaries, recording
//                         settings), so changes never interleave.
// A module's update does not hold ".lock", so a download into the same entry
// is not kept waiting for minutes by a transfer it does not disturb.
//
// flock() locks belong to the open file, so the kernel drops them when the
// process ends however it ends. A lock file is removed only with the entry an
// update made for itself and left empty (a module that was not found); a run
// that took a lock checks that the path still names the file it locked, so
// two processes never hold two different files of one name.
#pragma once
#include <cstdint>
#include <string>

#include "UpdaterDisplayInterface.h"

class StoreLock {
public:
  struct Wait {
    unsigned quietMS;       // how long to wait before telling the user
    unsigned limitSeconds;  // then how long before giving up
  };

  static StoreLock ForUpdate(const std::string& updaterDirectory, uint32_t serialNumber,
                             UpdaterDisplayInterface& display);
  static StoreLock ForDownload(const std::string& entryDirectory, uint32_t serialNumber, uint32_t build,
                               UpdaterDisplayInterface& display);
  // `display` may be null: the wait is then only logged.
  static StoreLock ForEntry(const std::string& entryDirectory, UpdaterDisplayInterface* display);

  // Takes the lock file `path`; `subject` and `activity` make the user's line
  // ("Module 0000BEEF" "is being" "updated"). Blocks until taken, refused
  // (wait limit, Ctrl-C) or found impossible (see Held).
  // `entry`, when given, is the directory the lock file lives in: made when
  // missing, and removed again on release when the lock file is all it holds.
  StoreLock(const std::string& path, const std::string& subject, const char* activity,
            UpdaterDisplayInterface* display, Wait wait, const std::string& entry = std::string());
  ~StoreLock();
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

  // True when the lock is held, and also when the store cannot carry a lock
  // file at all (read-only or missing directory): nothing could be written
  // there by this process, so there is nothing to protect.
  bool Held() const { return state != State::Refused; }
  // True when another process held it first and this one waited.
  bool Waited() const { return waited; }

  // Whether this process holds the lock file at `path` (any StoreLock of it).
  static bool HeldHere(const std::string& path);
  // The entry's own lock file.
  static std::string EntryLockPath(const std::string& entryDirectory);

private:
  enum class State { Held, Unavailable, Refused };

  State Acquire(const std::string& subject, const char* activity, UpdaterDisplayInterface* display, Wait wait);
  // Opens the lock file, refusing one that is not a regular file.
  State Open(UpdaterDisplayInterface* display, int& fd);
  State Lock(int fd, const std::string& subject, const char* activity, UpdaterDisplayInterface* display, Wait wait);

  std::string path;
  std::string entry;
  bool madeEntry = false;
  State state = State::Refused;
  bool waited = false;
};
