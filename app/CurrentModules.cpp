#include "CurrentModules.h"

#include <algorithm>

#include "aNumber.h"

UpdatePlan::Request PlanRequestFor(const Parameters& p, const Updater& updater) {
  UpdatePlan::Request request;
  request.serverUrl = updater.ServerUrl();
  request.updaterDirectory = updater.UpdaterDirectory();
  aNumber_ParseU32(p.build.c_str(), 10, &request.build);  // without -b: 0, the latest
  request.birdFile = p.birdFile;
  request.download = p.commands.IsSet(CMD_GET);
  request.override = p.override;
  return request;
}

ModuleOutcome CurrentOutcome(const DeviceInfo& device) {
  ModuleOutcome outcome;
  outcome.serialNumber = device.spec.serialNumber;
  outcome.model = device.modelName;
  outcome.place = FirmwareUpdate::PlaceOf(device.spec);
  outcome.buildBefore = outcome.buildAfter = device.build;
  outcome.versionAfter = device.VersionText();
  outcome.versionBefore = outcome.versionAfter;
  outcome.succeeded = outcome.current = true;
  return outcome;
}

std::vector<ModuleOutcome> SetAsideCurrent(const Parameters& p, const Updater& updater,
                                           const std::vector<DeviceInfo>& devices,
                                           std::vector<FirmwareUpdate::Route>& routes) {
  std::vector<ModuleOutcome> current;
  if (!p.allModules || p.force) return current;
  const UpdatePlan planner(PlanRequestFor(p, updater));
  for (const DeviceInfo& device : devices) {
    const uint32_t serial = device.spec.serialNumber;
    if (!planner.For(serial, &device).current) continue;
    const size_t before = routes.size();
    routes.erase(std::remove_if(routes.begin(), routes.end(),
                                [serial](const FirmwareUpdate::Route& route) { return route.serialNumber == serial; }),
                 routes.end());
    if (routes.size() != before) current.push_back(CurrentOutcome(device));
  }
  return current;
}
