// The lines that are a command's result (a listing, a table, the build a module
// now runs, where a download went): -q keeps these and drops the other info lines.
#pragma once
#include <atomic>

class ResultLines {
public:
  // While one lives, every info line is a result.
  ResultLines() { ++depth_; }
  ~ResultLines() { --depth_; }
  ResultLines(const ResultLines&) = delete;
  ResultLines& operator=(const ResultLines&) = delete;

  static bool Active() { return depth_ > 0; }
  // True for a result line, within a ResultLines or one the update library writes itself.
  static bool IsResult(const char* text);

private:
  static std::atomic<int> depth_;
};
