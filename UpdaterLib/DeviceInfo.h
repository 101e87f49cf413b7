// One module as discovery found it.
#pragma once
#include <cstdint>
#include <string>

#include "aLinkSpec.h"

// One discovered module.
struct DeviceInfo {
  linkSpec spec{};
  uint32_t build = 0;
  uint8_t major = 0;
  uint8_t minor = 0;
  uint32_t patch = 0;
  std::string modelName;
  int32_t error = 0;

  // "major.minor.patch", as results and listings show the version.
  std::string VersionText() const {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
  }
};
