#include "Updater.h"

Updater::Updater(const char* serverUrl_, const char* updaterDirectory_, UpdaterDisplayInterface& display_)
    : serverUrl(serverUrl_ ? serverUrl_ : ""), updaterDirectory(updaterDirectory_ ? updaterDirectory_ : ""),
      display(display_) {}

// Placeholder until module discovery lands.
std::vector<DeviceInfo> Updater::Discover_Devices(linkType) {
  display.message(UpdaterDisplayInterface::Error, "Discovery is not available in this build");
  return {};
}

std::vector<DeviceInfo> Updater::Discover_KLNetwork_Devices(uint32_t, linkType) {
  display.message(UpdaterDisplayInterface::Error, "Discovery is not available in this build");
  return {};
}
