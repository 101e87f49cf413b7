#include "Commands.h"

#include <string>

#include "CheckCommand.h"
#include "DryRunCommand.h"
#include "FleetCommand.h"
#include "Interrupt.h"
#include "Listings.h"
#include "Log.h"
#include "RecoveryCommand.h"
#include "ResultLines.h"
#include "update/ErrorRecordingDisplay.h"
#include "update/FirmwareUpdate.h"
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

// A command refused for what it lacks: said, and kept as the run's failure with the
// code the library gives the same cause.
void Refuse(UpdaterDisplayInterface& display, RunRecord& record, aErr code, const char* text) {
  record.refusal.code = code;
  record.refusal.text = text;
  display.message(kError, "%s", text);
}

// The build -b asked for; 0 lets the updater choose.
uint32_t BuildAsked(const Parameters& p) {
  uint32_t build = 0;
  aNumber_ParseU32(p.build.c_str(), 10, &build);
  return build;
}

int RunGet(Parameters& p, Updater& updater, UpdaterDisplayInterface& display, RunRecord& record) {
  if (p.serialNumber == 0) {
    Refuse(display, record, aErrParam, "-G must specify a specific device via -d");
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
  record.download.ran = true;
  Log::ModuleScope logScope(p.serialNumber);  // -k's lines of the download name the module
  record.download.result = updater.Download_Build(p.serialNumber, p.build, p.override);
  uint32_t build = record.download.result.build;
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

int RunDiscover(Parameters& p, Updater& updater, UpdaterDisplayInterface& display, RunRecord& record, FILE*) {
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
  record.discovery = {true, type, p.routerSerialNumber, devices};
  // An interrupted search has no list to show; the run ends with the signal's code.
  if (Interrupt::Requested())
    return 1;
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

// A recovery records its own outcome, chip and fingerprint.
int RunRecover(Parameters& p, Updater& updater, UpdaterDisplayInterface& display, RunRecord& record, FILE*) {
  return RunRecovery(p, updater, display, record);
}

// -U of one module.
int RunUpdate(Parameters& p, Updater& updater, UpdaterDisplayInterface& display, RunRecord& record, FILE*) {
  record.updates.ran = true;
  record.updates.buildRequested = BuildAsked(p);
  if (p.serialNumber == 0) {
    Refuse(display, record, aErrParam, "Must specify the specific device to be updated");
    return 1;
  }
  FirmwareUpdate::Route route;
  route.serialNumber = p.serialNumber;
  route.routerSerialNumber = p.routerSerialNumber;
  route.moduleAddress = p.moduleAddress;
  if (p.transportGiven)
    route.transport = static_cast<linkType>(p.transport);
  record.updates.outcomes.push_back(
      updater.Update_Module(route, record.updates.buildRequested, p.birdFile, p.override));
  return record.updates.outcomes.back().succeeded ? 0 : 1;
}

int RunBuilds(Parameters& p, Updater& updater, UpdaterDisplayInterface& display, RunRecord& record,
              FILE* usageStream) {
  if (p.serialNumber == 0) {
    Refuse(display, record, aErrParam, "Error must supply a serial number for the List Builds command");
    cli::_display_usage(false, false, usageStream);
    return 1;
  }
  // A server that failed has said why; an empty list is a module without builds.
  record.builds.ran = true;
  record.builds.result = updater.List_Builds(p.serialNumber);
  if (!record.builds.result.answered)
    return 1;
  cli::_display_builds(display, record.builds.result.builds, p.serialNumber);
  return 0;
}

int RunWatchCommand(Parameters& p, Updater& updater, UpdaterDisplayInterface& display, RunRecord& record, FILE*) {
  record.ownJson = true;
  return RunWatch(p, updater, display);
}

int RunDryRunCommand(Parameters& p, Updater& updater, UpdaterDisplayInterface& display, RunRecord& record, FILE*) {
  record.ownJson = true;
  return RunDryRun(p, updater, display);
}

int RunFleetCommand(Parameters& p, Updater& updater, UpdaterDisplayInterface& display, RunRecord& record, FILE*) {
  return RunFleetUpdate(p, updater, display, record);
}

// -I; a failure is the run's own when nothing before it failed.
int ReportInfo(Parameters& p, Updater& updater, UpdaterDisplayInterface& display, RunRecord& record,
               bool failedBefore) {
  ResultLines report;  // what -I prints is its result
  ErrorRecordingDisplay shown(display);
  const aErr code = ReportStore(updater.UpdaterDirectory(), p.serialNumber, shown, record.store);
  if (code != aErrNone && !failedBefore)
    record.refusal = {code, shown.LastError()};
  return code == aErrNone ? 0 : 1;
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
    int step = RunGet(p, updater, display, record);
    if (step == kAbort)
      return 1;
    if (int code = InterruptedExit())
      return code;
    // The update asked for the build being downloaded: with the download failed,
    // flashing some other stored build would report success for the wrong thing.
    if (step != 0 && p.commands.IsSet(CMD_UPDATE)) {
      Refuse(display, record, record.download.result.error, "Download failed; the update was not started");
      return 1;
    }
    // A successful download does not clear a failed fingerprint before it.
    if (step != 0)
      result = step;
  }
  return 0;
}

// The one of -D, -U (a station, a plan, several modules, a recovery or one module) and -B
// that runs; none when no main command was given.
typedef int (*MainCommand)(Parameters&, Updater&, UpdaterDisplayInterface&, RunRecord&, FILE*);
MainCommand MainCommandOf(const Parameters& p) {
  if (p.commands.IsSet(CMD_DISCOVER))
    return RunDiscover;
  if (p.commands.IsSet(CMD_UPDATE)) {
    if (p.watch)
      return RunWatchCommand;
    if (p.dryRun)
      return RunDryRunCommand;
    if (p.IsFleet())
      return RunFleetCommand;
    return p.transport == TRANSPORT_RECOVER ? RunRecover : RunUpdate;
  }
  if (p.commands.IsSet(CMD_BUILDS))
    return RunBuilds;
  return nullptr;
}

}  // namespace

int RunCommands(Parameters& p, Updater& updater, UpdaterDisplayInterface& display, RunRecord& record,
                FILE* usageStream) {
  int result = 0;
  if (int code = RunPreparation(p, updater, display, record, result))
    return code;
  if (p.commands.IsSet(CMD_CHECK)) {
    ResultLines report;  // what -C prints is its result
    record.check = {true, CheckBirdFile(p, updater.UpdaterDirectory(), display)};
    // A file the check refuses is not handed to the update after it.
    if (record.check.verdict.ExitCode() != 0)
      return 1;
  }
  // A failure earlier in the run is not cleared by a command that succeeds after it.
  MainCommand command = MainCommandOf(p);
  int step = command ? command(p, updater, display, record, usageStream) : 0;
  // A signal is how a station is meant to end: its exit code says how its modules fared.
  if (int code = p.watch ? 0 : InterruptedExit())
    return code;
  if (step != 0)
    result = step;
  if (p.commands.IsSet(CMD_INFO) && ReportInfo(p, updater, display, record, result != 0) != 0)
    result = 1;
  return result;
}
