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

BirdFile Updater::load_bird(const char* action, std::string birdFile, uint32_t serialNumber, uint32_t build,
                            bool downloadIfMissing) {
  FirmwareUpdate::Downloader download;
  if (downloadIfMissing)
    download = [this](uint32_t serial, uint32_t missing) {
      Download_Firmware(serial, std::to_string(missing), false);
    };
  return FirmwareUpdate(serverUrl, updaterDirectory, display).LoadBird(action, birdFile, serialNumber, build, download);
}

bool Updater::_validate_birdfile(UpdaterDisplayInterface& out, BirdFile& file, Module& module,
                                 uint32_t serialNumber) {
  return FirmwareUpdate(serverUrl, updaterDirectory, out).ValidateBirdFile(file, module, serialNumber);
}

aErr Updater::_transfer_loader(UpdaterDisplayInterface& out, Module& module, BirdFile& file) {
  return FirmwareUpdate(serverUrl, updaterDirectory, out).TransferLoader(module, file);
}

aErr Updater::_transfer_firmware(UpdaterDisplayInterface& out, Module& module, BirdFile& file) {
  return FirmwareUpdate(serverUrl, updaterDirectory, out).TransferFirmware(module, file);
}

bool Updater::_verify_return(UpdaterDisplayInterface& out, Module& module, uint32_t serialNumber,
                             uint32_t expectedBuild) {
  return FirmwareUpdate(serverUrl, updaterDirectory, out).VerifyReturn(module, serialNumber, expectedBuild);
}

bool Updater::_connect_rounds(Module& module, const std::vector<std::pair<linkType, uint32_t>>& targets,
                              int rounds) {
  return FirmwareUpdate::ConnectRounds(module, targets, rounds);
}

void Updater::_await_running_link(Module& module) { FirmwareUpdate::AwaitRunningLink(module); }
