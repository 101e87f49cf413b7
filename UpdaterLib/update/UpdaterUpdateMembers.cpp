// Updater's update members: each forwards to FirmwareUpdate (one module) or FleetUpdate (several).
#include "Updater.h"
#include "image/BirdFile.h"
#include "update/FirmwareUpdate.h"

using Tessoral::Kovalink::Module;

ModuleOutcome Updater::Update_Module(FirmwareUpdate::Route route, uint32_t build, std::string birdFile,
                                     bool override) {
  if (route.transport == linkTypeInvalid) route.transport = transport;
  return FirmwareUpdate(serverUrl, updaterDirectory, display).Run(route, build, birdFile, override);
}

bool Updater::Update_Firmware(uint32_t serialNumber, uint32_t build, std::string birdFile, uint8_t moduleAddress,
                              uint32_t routerSerialNumber, bool override) {
  FirmwareUpdate::Route route;
  route.serialNumber = serialNumber;
  route.routerSerialNumber = routerSerialNumber;
  route.moduleAddress = moduleAddress;
  return Update_Module(route, build, birdFile, override).succeeded;
}

std::vector<ModuleOutcome> Updater::Update_Modules(const std::vector<FirmwareUpdate::Route>& routes,
                                                   const FleetUpdate::Request& request,
                                                   FleetObserver& observer) {
  return FleetUpdate(serverUrl, updaterDirectory, observer).Run(routes, request);
}
