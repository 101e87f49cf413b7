// Helpers for the front-end tests: a recording display, stream capture, and a
// runner for the real binary.
#pragma once
#include <sys/types.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "RecordingDisplay.h"

namespace apptest {

using ::RecordingDisplay;

// A temporary stream whose contents can be read back.
class CaptureFile {
public:
  CaptureFile();
  ~CaptureFile();
  FILE* get() const { return file_; }
  std::string Contents() const;

private:
  FILE* file_;
};

// Keeps the process-wide log settings of a test from leaking into the next.
class LogStateGuard {
public:
  LogStateGuard();
  ~LogStateGuard();

private:
  FILE* fh_;
  unsigned mask_;
};

struct RunOptions {
  // Run in private mount and network namespaces with `homeOverlay` bind-mounted
  // over the user's home, so the store never lands in the real home. Needs root.
  bool isolate = false;
  std::string homeOverlay;
  // When set (not -1): switch to this user id before exec. Needs root.
  uid_t uid = static_cast<uid_t>(-1);
  // The child's whole environment; empty means inherit.
  std::vector<std::string> environment;
  bool replaceEnvironment = false;
};

struct RunResult {
  int exitCode = -1;  // -1 when the program did not exit normally
  std::string out;
  std::string err;
};

RunResult RunProgram(const std::string& path, const std::vector<std::string>& args, const RunOptions& options = {});

// The hand-written expected texts below tests/app/golden.
std::string Golden(const std::string& name);

}  // namespace apptest
