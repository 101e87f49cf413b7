// Private network and store for tests that talk to servers or discover modules.
#pragma once
#include <string>
#include <vector>

namespace testsupport {

// Moves the calling process (its main thread, every thread it starts later and
// its children) into a new network namespace holding only "lo", brought up.
// Without root it makes an unprivileged user namespace to own it, which works
// only while the process has one thread. False, with the reason, when neither
// works; the test then skips. Safe to call more than once.
bool EnterPrivateNetwork(std::string* why = nullptr);

// Brings up "lo" in the calling thread's network namespace; false with the reason.
bool BringUpLoopback(std::string& why);

// Gives the calling process (and its children) a private mount namespace in
// which `dir` is bind-mounted over <home>/.tessoral, home being the user
// database's home directory (what the updater uses). Keeps a handle on the
// real <home>/.tessoral so a test can check it was left alone.
class PrivateStore {
public:
  explicit PrivateStore(const std::string& dir);
  ~PrivateStore();
  PrivateStore(const PrivateStore&) = delete;
  PrivateStore& operator=(const PrivateStore&) = delete;

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  // The real directory's entries (relative path and size), read beneath the mount.
  std::vector<std::string> RealSnapshot() const;

private:
  bool ok_ = false;
  std::string error_;
  int realFd_ = -1;
  std::string target_;
};

}  // namespace testsupport
