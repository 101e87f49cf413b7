// Where recovery takes its images from: a named file, else the module's
// entry in the updater directory, downloaded from the update server first
// when the entry lacks it.
#pragma once
#include <cstdint>
#include <string>

#include "UpdaterDisplayInterface.h"

class BirdFile;

class RecoveryStore {
public:
  // An empty server URL means the default server.
  RecoveryStore(const std::string& serverUrl, const std::string& updaterDirectory, UpdaterDisplayInterface& display);

  // The firmware to recover with: `birdFile`, else build `build` of the module's entry,
  // downloaded first when missing. Throws (UntrustedImage, std::runtime_error) what cannot be used.
  BirdFile LoadFirmware(const std::string& birdFile, uint32_t serial, uint32_t build);
  // Downloads `build` (empty: the latest) for `serial` into the store: the build
  // stored, or 0 after a failure that has been shown. `override` skips the server's build check.
  uint32_t Download(uint32_t serial, const std::string& build, bool override = false);

  const std::string& ServerUrl() const { return serverUrl; }
  const std::string& Directory() const { return updaterDirectory; }
  UpdaterDisplayInterface& Display() { return display; }

private:
  std::string serverUrl;
  std::string updaterDirectory;
  UpdaterDisplayInterface& display;
};
