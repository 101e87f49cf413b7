// What the build list (-B) and the download (-G) came to.
#pragma once
#include <cstdint>
#include <map>
#include <string>

#include "aError.h"

// Build text (decimal) -> version text, ordered by key.
typedef std::map<std::string, std::string> BuildList;

struct BuildListResult {
  uint32_t serialNumber = 0;
  bool answered = false;  // the server answered; `builds` is its list, which may be empty
  ::BuildList builds;
  std::string errorText;  // the line the user was shown when the server did not answer
  aErr error = aErrNone;  // why it did not: the link library's code for the cause
};

struct DownloadResult {
  uint32_t serialNumber = 0;
  uint32_t buildRequested = 0;  // 0: the latest
  uint32_t build = 0;           // the build stored; 0 after a failure
  std::string file;             // the stored file's name: the build and ".bird"
  std::string path;             // where it was stored, as "Stored build ... in" names it
  bool storedMeanwhile = false; // another run stored that build while this one waited
  std::string errorText;        // the line the user was shown for the failure
  aErr error = aErrNone;        // the failure's code, as an update gives the same cause
};
