#include "RecordingUpdater.h"

#include "aNumber.h"
#include "aTime.h"

RecordingUpdater::RecordingUpdater(const char* url, const char* directory, ErrorRecorder& recorder,
                                   RunRecord& record)
    : Updater(url, directory, recorder), recorder_(recorder), record_(record) {}

std::vector<DeviceInfo> RecordingUpdater::Discover_Devices(linkType type) {
  RunRecord::Discovery& d = record_.discovery;
  d.ran = true;
  d.type = type;
  d.devices = Updater::Discover_Devices(type);
  return d.devices;
}

std::vector<DeviceInfo> RecordingUpdater::Discover_KLNetwork_Devices(uint32_t routerSerialNumber, linkType type) {
  RunRecord::Discovery& d = record_.discovery;
  d.ran = true;
  d.type = type;
  d.routerSerialNumber = routerSerialNumber;
  d.devices = Updater::Discover_KLNetwork_Devices(routerSerialNumber, type);
  return d.devices;
}

bool RecordingUpdater::Get_BuildList(uint32_t serialNumber, BuildList& builds) {
  bool ok = Updater::Get_BuildList(serialNumber, builds);
  record_.builds.ran = true;
  record_.builds.serialNumber = serialNumber;
  record_.builds.builds = builds;
  return ok;
}

uint32_t RecordingUpdater::Download_Firmware(uint32_t serialNumber, std::string build, bool override, bool no_cal) {
  uint32_t stored = Updater::Download_Firmware(serialNumber, build, override, no_cal);
  if (updating_)
    return stored;
  RunRecord::Download& d = record_.download;
  d.ran = true;
  d.serialNumber = serialNumber;
  d.buildRequested = 0;
  // A text that is not a number is refused by the download; it asked for no build.
  aNumber_ParseU32(build.c_str(), 10, &d.buildRequested);
  d.build = stored;
  return stored;
}

ModuleOutcome RecordingUpdater::Begin(uint32_t serialNumber, uint32_t build) {
  record_.updates.ran = true;
  record_.updates.buildRequested = build;
  recorder_.Forget();
  updating_ = true;
  ModuleOutcome outcome;
  outcome.serialNumber = serialNumber;
  return outcome;
}

void RecordingUpdater::Finish(ModuleOutcome& outcome, bool succeeded, uint64_t startUS) {
  updating_ = false;
  outcome.seconds = static_cast<double>(aTime_GetMonotonicUS() - startUS) / 1e6;
  outcome.succeeded = succeeded;
  recorder_.RunningBuild(outcome.serialNumber, outcome.buildAfter, outcome.versionAfter);
  if (!succeeded) {
    outcome.error = static_cast<aErr>(recorder_.LastErrorCode());
    outcome.errorText = recorder_.LastError();
  }
  record_.updates.outcomes.push_back(outcome);
}

bool RecordingUpdater::Update_Firmware(uint32_t serialNumber, uint32_t build, std::string birdFile,
                                       uint8_t moduleAddress, uint32_t routerSerialNumber, bool override) {
  ModuleOutcome outcome = Begin(serialNumber, build);
  uint64_t start = aTime_GetMonotonicUS();
  bool ok = Updater::Update_Firmware(serialNumber, build, birdFile, moduleAddress, routerSerialNumber, override);
  Finish(outcome, ok, start);
  return ok;
}

// The fleet fills each module's outcome itself.
std::vector<ModuleOutcome> RecordingUpdater::Update_Modules(const std::vector<FirmwareUpdate::Route>& routes,
                                                            const FleetUpdate::Request& request,
                                                            FleetObserver& observer) {
  record_.updates.ran = true;
  record_.updates.buildRequested = request.build;
  std::vector<ModuleOutcome> outcomes = Updater::Update_Modules(routes, request, observer);
  record_.updates.outcomes.insert(record_.updates.outcomes.end(), outcomes.begin(), outcomes.end());
  return outcomes;
}
