#include "recovery/RecoveryStore.h"

#include "download/FirmwareDownload.h"
#include "image/BirdFile.h"
#include "update/FirmwareUpdate.h"

RecoveryStore::RecoveryStore(const std::string& url, const std::string& directory, UpdaterDisplayInterface& d)
    : serverUrl(url), updaterDirectory(directory), display(d) {}

BirdFile RecoveryStore::LoadFirmware(const std::string& birdFile, uint32_t serial, uint32_t build) {
  FirmwareUpdate::Downloader download = [this](uint32_t module, uint32_t missing) {
    Download(module, std::to_string(missing));
  };
  return FirmwareUpdate(serverUrl, updaterDirectory, display).LoadBird("Recovering", birdFile, serial, build, download);
}

uint32_t RecoveryStore::Download(uint32_t serial, const std::string& build, bool override) {
  return FirmwareDownload(serverUrl, updaterDirectory, display).Download(serial, build, override).build;
}
