#include "LogFile.h"

#include <cerrno>
#include <cstring>

#include "Log.h"

LogFile::LogFile(const std::string& path, const std::string& mode, UpdaterDisplayInterface& display) {
  file_ = fopen(path.c_str(), mode.c_str());
  if (!file_) {
    display.message(UpdaterDisplayInterface::Error, "Could not open log file %s (%s), logging to stderr", path.c_str(),
                    strerror(errno));
    return;
  }
  // Unbuffered, so the log survives an abnormal end of the run.
  setvbuf(file_, nullptr, _IONBF, 0);
  Log::SetOutput(file_);
  Log::SetStamped(true);
}

LogFile::~LogFile() {
  if (!file_)
    return;
  Log::SetStamped(false);
  Log::SetOutput(stderr);
  fclose(file_);
}
