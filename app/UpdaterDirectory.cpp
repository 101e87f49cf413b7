#include "UpdaterDirectory.h"

#include <cstring>

#include "store/BuildPath.h"
#include "Log.h"
#include "aDirectory.h"

namespace {

aErr ReadHome(std::string& home) {
  char buffer[HOME_DIRECTORY_CAPACITY];
  memset(buffer, 0, sizeof(buffer));
  // One byte held back keeps the text terminated whatever the reader does at the limit.
  aErr err = aDirectory_GetHomeDirectory(buffer, sizeof(buffer) - 1);
  // An empty home would put the store at the root of the file system.
  if (err == aErrNone && buffer[0] == '\0')
    err = aErrNotFound;
  home = err == aErrNone ? buffer : "";
  return err;
}

}  // namespace

bool ReadHomeDirectory(std::string& home) { return ReadHome(home) == aErrNone; }

std::string cli::_build_updater_directory() {
  std::string home;
  aErr err = ReadHome(home);
  if (err != aErrNone) {
    Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", err);
    return "";
  }
  return BuildPath(home.c_str(), ".tessoral", "updater", nullptr);
}

bool EnsureUpdaterDirectory(const std::string& path) {
  return !path.empty() && aDirectory_Ensure(path.c_str(), 0755) == aErrNone;
}
