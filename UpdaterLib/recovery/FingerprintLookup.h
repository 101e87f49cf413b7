// The update server's word on a chip in recovery mode: the module its
// fingerprint belongs to and the build to recover it with.
#pragma once
#include <cstdint>
#include <string>

#include "UpdaterDisplayInterface.h"
#include "recovery/Fingerprint.h"

class FingerprintLookup {
public:
  // An empty server URL means the default server.
  FingerprintLookup(const std::string& serverUrl, UpdaterDisplayInterface& display);

  // False, said with its cause and the server's address, when the server
  // names no module (or, with `buildNeeded`, no build) for the fingerprint.
  bool Find(const Fingerprint& fp, uint32_t& serial, uint32_t& build, bool buildNeeded);

private:
  std::string serverUrl;
  UpdaterDisplayInterface& display;
};
