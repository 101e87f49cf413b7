#include "Updater.h"

// Boot-ROM recovery (NXP LPC serial ISP, i.MX Serial Download Protocol) is not
// part of this release: both operations fail with a clear message.
bool Updater::Get_Fingerprint(Fingerprint&, std::string, unsigned, std::string, unsigned, bool) {
  display.message(UpdaterDisplayInterface::Error, "Recovery mode is not supported by this release of the updater");
  return false;
}

bool Updater::Recover_Firmware(std::string, unsigned, unsigned, unsigned, std::string, bool) {
  display.message(UpdaterDisplayInterface::Error, "Recovery mode is not supported by this release of the updater");
  return false;
}
