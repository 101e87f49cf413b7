// What one module's update came to: the row of the fleet table and of the
// machine-readable result.
#pragma once
#include <cstdint>
#include <string>

#include "aError.h"

struct ModuleOutcome {
  uint32_t serialNumber = 0;
  std::string model;          // empty when the module was never reached
  uint32_t buildBefore = 0;   // 0 when unknown
  uint32_t buildAfter = 0;    // the build seen running after the reboot; 0 when not seen
  std::string versionAfter;   // "1.4.2" with buildAfter
  bool succeeded = false;     // running the build that was sent
  bool current = false;       // already ran the wanted build and was not written (succeeded too)
  aErr error = aErrNone;      // the link library's code of the failure, aErrNone when there is none
  std::string errorText;      // the line the user was shown for the failure
  double seconds = 0;         // from the start of the module's update to its verified return or failure
  // With -G, the module's own download before its update.
  struct Download {
    bool ran = false;
    uint32_t build = 0;  // the build stored; 0 after a failure
  } download;
};
