#include "UpdaterDirectory.h"

#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Log.h"

// Interim until the shared directory helpers land.
bool ReadHomeDirectory(std::string& home) {
  home.clear();
  const struct passwd* pw = getpwuid(getuid());
  const char* dir = (pw && pw->pw_dir) ? pw->pw_dir : getenv("HOME");
  if (!dir || !*dir || strlen(dir) >= HOME_DIRECTORY_CAPACITY - 1)
    return false;
  home = dir;
  return true;
}

std::string _build_updater_directory() {
  std::string home;
  if (!ReadHomeDirectory(home)) {
    Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", 2);
    return "";
  }
  return home + "/.tessoral/updater";
}

bool EnsureUpdaterDirectory(const std::string& path) {
  if (path.empty())
    return false;
  for (size_t p = 1; p <= path.size(); p++) {
    if (p == path.size() || path[p] == '/')
      mkdir(path.substr(0, p).c_str(), 0755);
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
