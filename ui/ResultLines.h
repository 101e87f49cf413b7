// The lines that are a command's result (a listing, a table, the build a module
// now runs, where a download went): -q keeps these and drops the other info lines.
#pragma once

class ResultLines {
public:
  // While one lives, every info line its thread writes is a result.
  ResultLines() { ++depth_; }
  ~ResultLines() { --depth_; }
  ResultLines(const ResultLines&) = delete;
  ResultLines& operator=(const ResultLines&) = delete;

  static bool Active() { return depth_ > 0; }

private:
  // Per thread: the modules of a fleet write their lines side by side.
  static inline thread_local int depth_ = 0;
};
