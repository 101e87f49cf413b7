#include "update/FleetUpdate.h"

#include <atomic>
#include <map>
#include <thread>

#include "Interrupt.h"
#include "Log.h"
#include "aDefs.h"
#include "update/ModuleDisplay.h"

namespace {

// The link a module's update goes over: its router's, or its own.
uint32_t sLinkOwner(const FirmwareUpdate::Route& route) {
  if (route.routerSerialNumber != 0) return route.routerSerialNumber;
  const uint32_t router = route.spec.routerSerialNumber;
  return router != 0 && router != route.serialNumber ? router : route.serialNumber;
}

// A module never reached is described by what discovery knew of it: its model, and its build when read.
void sKnown(const FirmwareUpdate::Route& route, const FleetUpdate::Request& request, ModuleOutcome& outcome) {
  if (route.spec.type != linkTypeInvalid && route.spec.model != 0) outcome.model = aDefs_GetModelName(route.spec.model);
  auto known = request.known.find(route.serialNumber);
  if (known == request.known.end()) return;
  const DeviceInfo& device = known->second;
  if (!device.modelName.empty()) outcome.model = device.modelName;
  outcome.buildBefore = device.build;
  if (device.error == 0 && device.build != 0)
    outcome.versionBefore = device.VersionText();
}

}  // namespace

FleetUpdate::FleetUpdate(const std::string& serverUrl, const std::string& updaterDirectory, FleetObserver& observer)
    : serverUrl_(serverUrl), updaterDirectory_(updaterDirectory), observer_(observer) {}

std::vector<std::vector<size_t>> FleetUpdate::Groups(const std::vector<FirmwareUpdate::Route>& routes) {
  std::vector<std::vector<size_t>> groups;
  std::map<uint32_t, size_t> byOwner;
  for (size_t i = 0; i < routes.size(); i++) {
    auto found = byOwner.find(sLinkOwner(routes[i]));
    if (found != byOwner.end()) {
      groups[found->second].push_back(i);
      continue;
    }
    byOwner[sLinkOwner(routes[i])] = groups.size();
    groups.push_back({i});
  }
  return groups;
}

std::vector<ModuleOutcome> FleetUpdate::Run(const std::vector<FirmwareUpdate::Route>& routes,
                                            const Request& request) {
  std::vector<ModuleOutcome> outcomes(routes.size());
  const std::vector<std::vector<size_t>> groups = Groups(routes);
  std::atomic<size_t> next(0);
  auto worker = [&]() {
    for (size_t g = next++; g < groups.size(); g = next++)
      for (size_t index : groups[g]) runModule(routes[index], request, outcomes[index]);
  };
  size_t threads = request.parallel == 0 ? 1 : request.parallel;
  if (threads > groups.size()) threads = groups.size();
  Log::log(DEBUG_Updater, "Fleet update of %zu modules on %zu links, %zu at a time\n", routes.size(),
           groups.size(), threads);
  std::vector<std::thread> pool;
  for (size_t t = 0; t < threads; t++) pool.emplace_back(worker);
  for (std::thread& thread : pool) thread.join();
  return outcomes;
}

void FleetUpdate::runModule(const FirmwareUpdate::Route& route, const Request& request, ModuleOutcome& outcome) {
  Log::ModuleScope logScope(route.serialNumber);  // -k's lines name the module, its download's too
  outcome.serialNumber = route.serialNumber;
  ModuleDisplay display(observer_, route.serialNumber);
  // A stop asked for before the module's turn leaves it untouched.
  if (Interrupt::Requested()) {
    outcome.error = aErrCancel;
    outcome.errorText = "Not started: interrupted";
    observer_.module_finished(outcome);
    return;
  }
  uint32_t build = request.build;
  if (request.download) {
    const DownloadResult fetched = request.download(route.serialNumber, display);
    build = fetched.build;
    outcome.download = {true, build};
    if (build == 0) {
      sKnown(route, request, outcome);
      outcome.error = fetched.error != aErrNone ? fetched.error : aErrNotFound;
      outcome.errorText = "Download failed; the update was not started";
      display.message(UpdaterDisplayInterface::Error, "%s", outcome.errorText.c_str());
      observer_.module_finished(outcome);
      return;
    }
  }
  ModuleOutcome::Download fetched = outcome.download;
  FirmwareUpdate update(serverUrl_, updaterDirectory_, display);
  update.oneOfSeveral = true;
  outcome = update.Run(route, build, request.birdFile, request.override);
  outcome.download = fetched;
  observer_.module_finished(outcome);
}
