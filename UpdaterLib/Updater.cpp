#include "Updater.h"

#include "discovery/ModuleDiscovery.h"
#include "download/FirmwareDownload.h"

// Each command lives in a class of its own; the facade only hands it over.

Updater::Updater(const char* serverUrl_, const char* updaterDirectory_, UpdaterDisplayInterface& display_)
    : serverUrl(serverUrl_ ? serverUrl_ : ""), updaterDirectory(updaterDirectory_ ? updaterDirectory_ : ""),
      display(display_) {}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) { return ModuleDiscovery().Devices(type); }

std::vector<DeviceInfo> Updater::Discover_KLNetwork_Devices(uint32_t routerSerialNumber, linkType type) {
  return ModuleDiscovery().NetworkDevices(routerSerialNumber, type);
}

BuildListResult Updater::List_Builds(uint32_t serialNumber) {
  return FirmwareDownload(serverUrl, updaterDirectory, display).BuildList(serialNumber);
}

BuildList Updater::Get_BuildList(uint32_t serialNumber) { return List_Builds(serialNumber).builds; }

bool Updater::Get_BuildList(uint32_t serialNumber, BuildList& builds) {
  BuildListResult result = List_Builds(serialNumber);
  builds = result.builds;
  return result.answered;
}

DownloadResult Updater::Download_Build(uint32_t serialNumber, std::string build, bool override) {
  return FirmwareDownload(serverUrl, updaterDirectory, display).Download(serialNumber, build, override);
}

uint32_t Updater::Download_Firmware(uint32_t serialNumber, std::string build, bool override) {
  return Download_Build(serialNumber, build, override).build;
}

bool Updater::_valid_build(uint32_t serialNumber, uint32_t build, const char* url) {
  return FirmwareDownload::ValidBuild(serialNumber, build, url);
}
