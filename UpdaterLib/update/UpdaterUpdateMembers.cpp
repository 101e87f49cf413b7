// Updater's update members: each forwards to FirmwareUpdate (one module) or FleetUpdate (several).
#include "Updater.h"
#include "image/BirdFile.h"
#include "update/FirmwareUpdate.h"

using Tessoral::Kovalink::Module;

bool Updater::Update_Firmware(uint32_t serialNumber, uint32_t build, std::string birdFile, uint8_t moduleAddress,
                              uint32_t routerSerialNumber, bool override) {
  return FirmwareUpdate(serverUrl, updaterDirectory, display)
      .Run(serialNumber, build, birdFile, moduleAddress, routerSerialNumber, override, transport);
}

std::vector<ModuleOutcome> Updater::Update_Modules(const std::vector<FirmwareUpdate::Route>& routes,
                                                   const FleetUpdate::Request& request,
                                                   FleetObserver& observer) {
  return FleetUpdate(serverUrl, updaterDirectory, observer).Run(routes, request);
}
