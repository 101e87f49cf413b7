#include "Updater.h"

// Placeholder until the firmware-upgrade protocol lands.
bool Updater::Update_Firmware(uint32_t, uint32_t, std::string, uint8_t, uint32_t, bool) {
  display.message(UpdaterDisplayInterface::Error, "Firmware update is not available in this build");
  return false;
}
