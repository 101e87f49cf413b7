// Helpers for tests of the update server client: BIRD bytes, the lab server
// as a child process, and running a program with its output captured.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// A BIRD file with an information block and a firmware block at 0x1000 holding `image`.
std::string MakeBirdBytes(uint32_t build, const std::string& version, const std::string& model, uint32_t serial,
                          const std::string& image);
// Deterministic image bytes that do not compress away, as real firmware does
// not (an image that did could not be loaded).
std::string TestBytes(size_t size, uint32_t seed);
// The decompressed content of a BIRD file's bytes (empty when it does not inflate).
std::string BirdContent(const std::string& bird);

// Starts a lab program and returns what it printed before its "ready" line
// (empty when it did not get ready within 10 s); *pid is its process.
std::string StartUntilReady(const std::vector<std::string>& argv, pid_t* pid);
// SIGTERM to a child started so, and wait; its exit status, or -1.
int StopChild(pid_t* pid);

// `updater-lab server` started in the current network namespace on 127.0.0.1
// and a free port; stopped with SIGTERM on destruction.
class LabServerProcess {
public:
  explicit LabServerProcess(const std::vector<std::string>& args);
  ~LabServerProcess();
  LabServerProcess(const LabServerProcess&) = delete;
  LabServerProcess& operator=(const LabServerProcess&) = delete;

  bool ok() const { return !url_.empty(); }
  const std::string& url() const { return url_; }
  // SIGTERM and wait; returns the exit status (or -1).
  int Stop();

private:
  pid_t pid_ = -1;
  std::string url_;
};

struct ProgramResult {
  int exitCode = -1;
  std::string out;
  std::string err;
  double seconds = 0;
};

// Runs a program with extra environment entries ("NAME=value") and waits for
// it. With `terminal`, its standard output is a pseudo-terminal.
ProgramResult RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                         bool terminal = false);

}  // namespace testsupport
