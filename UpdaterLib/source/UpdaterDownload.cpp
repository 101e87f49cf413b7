#include "Updater.h"

// Placeholder until the update server client lands.
BuildList Updater::Get_BuildList(uint32_t) {
  display.message(UpdaterDisplayInterface::Error, "The update server client is not available in this build");
  return {};
}

uint32_t Updater::Download_Firmware(uint32_t, std::string, bool, bool) {
  display.message(UpdaterDisplayInterface::Error, "The update server client is not available in this build");
  return 0;
}
