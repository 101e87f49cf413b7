#include "Commands.h"

#include <string>

#include "CheckCommand.h"
#include "DryRunCommand.h"
#include "FleetCommand.h"
#include "Interrupt.h"
#include "Listings.h"
#include "RecoveryCommand.h"
#include "ResultLines.h"
#include "StoreReport.h"
#include "Usage.h"
#include "aNumber.h"
#include "aDiscovery.h"
#include "WatchCommand.h"

namespace {

const UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::Info;
const UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::Error;

// Exit code of a command that could not even start; the run ends there.
const int kAbort = -1;

int RunGet(Parameters& p, Updater& updater, UpdaterDisplayInterface& display) {
  if (p.serialNumber == 0) {
    display.message(kError, "-G must specify a specific device via -d");
    display.message(kError, "--help for usage information");
    return kAbort;
  }
  display.message(kInfo, "Retrieving firmware for device with serial number %08X", p.serialNumber);
  if (p.build.empty()) {
    display.message(kInfo, "No build specified");
    display.message(kInfo, "Using Latest build");
  } else {
    display.message(kInfo, "Retrieving firmware build %s", p.build.c_str());
  }
  uint32_t build = updater.Download_Firmware(p.serialNumber, p.build, p.override, false);
  if (build == 0)
    return 1;
  // The update that may follow uses exactly the build just downloaded.
  p.build = std::to_string(build);
  return 0;
}

// An empty list says where the search went and how to search elsewhere.
void ExplainEmptyDiscovery(UpdaterDisplayInterface& display, linkType type, uint32_t router) {
  if (router != 0)
    display.message(kInfo, "No modules found behind router %08X", router);
  else if (type == linkTypeTCPIP)
    display.message(kInfo, "No modules found over TCPIP; -t USB searches the USB bus");
  else
    display.message(kInfo, "No modules found over USB; -t TCPIP searches the network");
}

int RunDiscover(Parameters& p, Updater& updater, UpdaterDisplayInterface& display) {
  linkType type = linkTypeInvalid;
  if (p.transportGiven && p.transport != TRANSPORT_RECOVER)
    type = static_cast<linkType>(p.transport);
  std::vector<DeviceInfo> devices;
  if (p.routerSerialNumber != 0) {
    display.message(kInfo, "Searching for Kovalink Network devices connected to %08X", p.routerSerialNumber);
    devices = updater.Discover_KLNetwork_Devices(p.routerSerialNumber, type);
  } else {
    display.message(kInfo, "Searching for Kovalink devices");
    // A plain -D searches USB only.
    if (type == linkTypeInvalid)
      type = linkTypeUSB;
    devices = updater.Discover_Devices(type);
  }
  // A network that could not be searched is not an empty one: the wait's end has said so.
  if (devices.empty() && aDiscovery_PortBusy())
    return 1;
  // A module this user may not open is there all the same: listed, and the run fails.
  std::vector<UnopenableModule> unopenable;
  if (type == linkTypeUSB && p.routerSerialNumber == 0)
    unopenable = cli::_unopenable_usb_modules();
  cli::_display_device_list(display, devices, type, unopenable);
  if (devices.empty() && unopenable.empty())
    ExplainEmptyDiscovery(display, type, p.routerSerialNumber);
  return unopenable.empty() ? 0 : 1;
}

int RunUpdate(Parameters& p, Updater& updater, UpdaterDisplayInterface& display, RunRecord& record) {
  uint32_t build = 0;  // the latest build, unless -b named one
  aNumber_ParseU32(p.build.c_str(), 10, &build);
  if (p.watch)
    return RunWatch(p, updater, display);
  if (p.dryRun)
    return RunDryRun(p, updater, display);
  if (p.IsFleet())
    return RunFleetUpdate(p, updater, display);
  if (p.transport == TRANSPORT_RECOVER)
    return RunRecovery(p, updater, display, record);
  if (p.serialNumber == 0) {
    display.message(kError, "Must specify the specific device to be updated");
    return 1;
  }
  if (p.transportGiven)
    updater.Restrict_Transport(static_cast<linkType>(p.transport));
  bool ok = updater.Update_Firmware(p.serialNumber, build, p.birdFile, p.moduleAddress, p.routerSerialNumber,
                                    p.override);
  return ok ? 0 : 1;
}

int RunBuilds(Parameters& p, Updater& updater, UpdaterDisplayInterface& display, FILE* usageStream) {
  if (p.serialNumber == 0) {
    display.message(kError, "Error must supply a serial number for the List Builds command");
    cli::_display_usage(false, false, usageStream);
    return 1;
  }
  // A server that failed has said why; an empty list is a module without builds.
  BuildList builds;
  if (!updater.Get_BuildList(p.serialNumber, builds))
    return 1;
  cli::_display_builds(display, builds, p.serialNumber);
  return 0;
}

// 128 + the signal when the run was interrupted, else 0.
int InterruptedExit() {
  int signal = Interrupt::Requested();
  return signal != 0 ? 128 + signal : 0;
}

// -N and -G, which run before the main command; kAbort or an exit code.
int RunPreparation(Parameters& p, Updater& updater, UpdaterDisplayInterface& display, RunRecord& record,
                   int& result) {
  if (p.commands.IsSet(CMD_FINGERPRINT)) {
    int step = RunFingerprint(p, updater, display, record);
    if (step == kAbort)
      return 1;
    result = step;
    if (int code = InterruptedExit())
      return code;
  }
  // Several modules each fetch their own build as part of their update.
  // A station fetches per module as they come; a plan downloads nothing.
  if (p.commands.IsSet(CMD_GET) && !p.IsFleet() && !p.watch && !p.dryRun) {
    int step = RunGet(p, updater, display);
    if (step == kAbort)
      return 1;
    if (int code = InterruptedExit())
      return code;
    // The update asked for the build being downloaded: with the download failed,
    // flashing some other stored build would report success for the wrong thing.
    if (step != 0 && p.commands.IsSet(CMD_UPDATE)) {
      display.message(kError, "Download failed; the update was not started");
      return 1;
    }
    // A successful download does not clear a failed fingerprint before it.
    if (step != 0)
      result = step;
  }
  return 0;
}

int RunMainCommand(Parameters& p, Updater& updater, UpdaterDisplayInterface& display, RunRecord& record,
                   FILE* usageStream) {
  if (p.commands.IsSet(CMD_DISCOVER))
    return RunDiscover(p, updater, display);
  if (p.commands.IsSet(CMD_UPDATE))
    return RunUpdate(p, updater, display, record);
  if (p.commands.IsSet(CMD_BUILDS))
    return RunBuilds(p, updater, display, usageStream);
  return 0;
}

}  // namespace

int RunCommands(Parameters& p, Updater& updater, UpdaterDisplayInterface& display, RunRecord& record,
                FILE* usageStream) {
  int result = 0;
  if (int code = RunPreparation(p, updater, display, record, result))
    return code;
  if (p.commands.IsSet(CMD_CHECK)) {
    ResultLines report;  // what -C prints is its result
    // A file the check refuses is not handed to the update after it.
    if (CheckBirdFile(p, updater.UpdaterDirectory(), display) != 0)
      return 1;
  }
  // A failure earlier in the run is not cleared by a command that succeeds after it.
  int step = RunMainCommand(p, updater, display, record, usageStream);
  // A signal is how a station is meant to end: its exit code says how its modules fared.
  if (int code = p.watch ? 0 : InterruptedExit())
    return code;
  if (step != 0)
    result = step;
  ResultLines report;  // what -I prints is its result
  if (p.commands.IsSet(CMD_INFO) && ReportStore(updater.UpdaterDirectory(), p.serialNumber, display) != 0)
    result = 1;
  return result;
}
