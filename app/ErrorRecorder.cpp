#include "ErrorRecorder.h"

#include <cstdio>
#include <cstring>

void ErrorRecorder::info_message(const char* text) {
  // The update's confirmation: "Module XXXXXXXX now runs 1.4.2 (build 1420)".
  unsigned serial = 0, build = 0;
  char version[64] = "";
  if (sscanf(text, "Module %8X now runs %63s (build %u)", &serial, version, &build) == 3) {
    runningSerial_ = serial;
    runningBuild_ = build;
    runningVersion_ = version;
  }
  inner_.info_message(text);
}

void ErrorRecorder::error_message(const char* text) {
  lastError_ = text;
  // A module that came back with another build than the one sent: still what it runs.
  unsigned serial = 0, build = 0;
  if (sscanf(text, "Module [%8X] came back running build %u,", &serial, &build) == 2) {
    runningSerial_ = serial;
    runningBuild_ = build;
    runningVersion_.clear();
  }
  inner_.error_message(text);
}

void ErrorRecorder::Forget() {
  lastError_.clear();
  runningSerial_ = 0;
  runningBuild_ = 0;
  runningVersion_.clear();
}

int ErrorRecorder::LastErrorCode() const {
  // The update's failure lines end in "failed [code, text]".
  const char* at = strstr(lastError_.c_str(), "failed [");
  int code = 0;
  if (at == nullptr || sscanf(at, "failed [%d,", &code) != 1)
    return 0;
  return code;
}

bool ErrorRecorder::RunningBuild(uint32_t serialNumber, uint32_t& build, std::string& version) const {
  if (runningSerial_ == 0 || runningSerial_ != serialNumber)
    return false;
  build = runningBuild_;
  version = runningVersion_;
  return true;
}
