#include "recovery/FingerprintLookup.h"

#include "Log.h"
#include "server/UpdateServerRequest.h"

FingerprintLookup::FingerprintLookup(const std::string& url, UpdaterDisplayInterface& d) : serverUrl(url), display(d) {}

bool FingerprintLookup::Find(const Fingerprint& fp, uint32_t& serial, uint32_t& build, bool buildNeeded) {
  const char* url = serverUrl.empty() ? nullptr : serverUrl.c_str();
  std::string cause;
  if (UpdateServerRequest::GetRecoveryInfo(fp, serial, build, url, &cause)) {
    if (serial == 0)
      cause = "the server names no module for this fingerprint";
    else if (build == 0 && buildNeeded)
      cause = "the server names no build for this fingerprint";
    else
      return true;
  }
  Log::log(DEBUG_Updater, "Recovery information refused: serial %08X, build %u\n", serial, build);
  display.message(UpdaterDisplayInterface::Error,
                  "Failed to retreive recovery information from Tessoral update server %s: %s",
                  url ? url : UpdateServerRequest::default_url, cause.c_str());
  return false;
}
