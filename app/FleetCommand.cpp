#include "FleetCommand.h"

#include <cstdio>
#include <map>
#include <string>

#include "CurrentModules.h"
#include "FleetConsole.h"
#include "FleetTable.h"
#include "Listings.h"
#include "update/FleetSearch.h"
#include "update/FleetUpdate.h"

namespace {

const UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::Info;
const UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::Error;

typedef std::map<uint32_t, linkSpec> Found;

// -d all: every module on the transport, listed before the updates start.
void DiscoverAll(Parameters& p, Updater& updater, UpdaterDisplayInterface& display, Found& found,
                 std::vector<DeviceInfo>& devices) {
  devices = updater.Discover_Devices(static_cast<linkType>(p.transport));
  cli::_display_device_list(display, devices, p.transport);
  for (const DeviceInfo& device : devices) {
    if (found.emplace(device.spec.serialNumber, device.spec).second) p.serialNumbers.push_back(device.spec.serialNumber);
  }
}

// The listed modules, on the transport given, else on USB and then on TCP/IP for the rest.
void FindListed(const Parameters& p, Found& found) {
  if (p.transportGiven) {
    found = FleetSearch::Find(static_cast<linkType>(p.transport), p.serialNumbers);
    return;
  }
  found = FleetSearch::Find(linkTypeUSB, p.serialNumbers);
  std::vector<uint32_t> rest;
  for (uint32_t serial : p.serialNumbers)
    if (found.count(serial) == 0) rest.push_back(serial);
  for (const auto& entry : FleetSearch::Find(linkTypeTCPIP, rest)) found.insert(entry);
}

// Each module is looked for once, before the updates start: its place is then known, and the
// updates reconnect there rather than each running a discovery of its own.
std::vector<FirmwareUpdate::Route> FindModules(Parameters& p, Updater& updater, UpdaterDisplayInterface& display,
                                               std::vector<DeviceInfo>& devices) {
  display.message(kInfo, "Searching for Kovalink devices");
  Found found;
  if (p.allModules)
    DiscoverAll(p, updater, display, found, devices);
  else
    FindListed(p, found);
  std::vector<FirmwareUpdate::Route> routes;
  for (uint32_t serial : p.serialNumbers) {
    FirmwareUpdate::Route route;
    route.serialNumber = serial;
    route.routerSerialNumber = p.routerSerialNumber;
    route.moduleAddress = p.moduleAddress;
    auto place = found.find(serial);
    if (place != found.end()) route.spec = place->second;
    routes.push_back(route);
  }
  return routes;
}

// With -G each module first fetches its build, through its own display.
FleetUpdate::Download Downloader(const Parameters& p, const Updater& updater) {
  if (!p.commands.IsSet(CMD_GET)) return FleetUpdate::Download();
  const std::string url = updater.ServerUrl(), directory = updater.UpdaterDirectory(), build = p.build;
  const bool override = p.override;
  return [=](uint32_t serial, UpdaterDisplayInterface& display) {
    return Updater(url.c_str(), directory.c_str(), display).Download_Firmware(serial, build, override, false);
  };
}

}  // namespace

int RunFleetUpdate(Parameters& p, Updater& updater, UpdaterDisplayInterface& display) {
  std::vector<DeviceInfo> devices;
  std::vector<FirmwareUpdate::Route> routes = FindModules(p, updater, display, devices);
  std::vector<ModuleOutcome> current = SetAsideCurrent(p, updater, devices, routes);
  if (routes.empty() && current.empty()) {
    display.message(kError, "No modules to update");
    return 1;
  }
  FleetUpdate::Request request;
  const char* end = nullptr;
  request.build = cli::_get_int_arg(p.build.c_str(), &end);
  request.birdFile = p.birdFile;
  request.override = p.override;
  request.parallel = p.parallel;
  request.download = Downloader(p, updater);
  display.message(kInfo, "Updating %zu modules, up to %u at a time", routes.size(), p.parallel);
  // With --json, stdout holds the document alone.
  FleetConsole console(display, p.json ? stderr : stdout);
  std::vector<ModuleOutcome> outcomes;
  for (const ModuleOutcome& outcome : current)
    display.message(kInfo, "%08X: current (build %u)", outcome.serialNumber, outcome.buildBefore);
  if (!routes.empty()) {
    FleetConsole::Notices notices(console);
    outcomes = updater.Update_Modules(routes, request, console);
  }
  outcomes.insert(outcomes.end(), current.begin(), current.end());
  size_t updated = 0;
  for (const std::string& line : cli::_fleet_table(outcomes)) display.message(kInfo, "%s", line.c_str());
  for (const ModuleOutcome& outcome : outcomes) updated += outcome.succeeded ? 1 : 0;
  const int level = updated == outcomes.size() ? kInfo : kError;
  // Modules left alone are not counted as updated; they do not fail the run either.
  if (current.empty())
    display.message(level, "%zu of %zu modules updated", updated, outcomes.size());
  else
    display.message(level, "%zu of %zu modules updated, %zu already current", updated - current.size(),
                    outcomes.size(), current.size());
  return updated == outcomes.size() ? 0 : 1;
}
