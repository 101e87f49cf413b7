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

BuildList Updater::Get_BuildList(uint32_t serialNumber) {
  BuildList builds;
  Get_BuildList(serialNumber, builds);
  return builds;
}

bool Updater::Get_BuildList(uint32_t serialNumber, BuildList& builds) {
  return FirmwareDownload(serverUrl, updaterDirectory, display).BuildList(serialNumber, builds);
}

uint32_t Updater::Download_Firmware(uint32_t serialNumber, std::string build, bool override, bool no_cal) {
  return FirmwareDownload(serverUrl, updaterDirectory, display).Download(serialNumber, build, override, no_cal);
}

bool Updater::_valid_build(uint32_t serialNumber, uint32_t build, const char* url) {
  return FirmwareDownload::ValidBuild(serialNumber, build, url);
}
