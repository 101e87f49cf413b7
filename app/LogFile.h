// Sends the debug log into a file for the life of the object.
#pragma once
#include <cstdio>
#include <string>

#include "UpdaterDisplayInterface.h"

class LogFile {
public:
  // When the file cannot be opened, says so on the error stream and leaves the
  // log where it was.
  LogFile(const std::string& path, const std::string& mode, UpdaterDisplayInterface& display);
  // Hands the log back to the standard error stream before closing the file.
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  bool IsOpen() const { return file_ != nullptr; }

private:
  FILE* file_ = nullptr;
};
