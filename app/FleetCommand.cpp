#include "FleetCommand.h"

#include <cstdio>
#include <map>
#include <string>

#include "CurrentModules.h"
#include "FleetConsole.h"
#include "FleetTable.h"
#include "Interrupt.h"
#include "ResultLines.h"
#include "Listings.h"
#include "aAccess.h"
#include "aNumber.h"
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
  // A search cut short by an interrupt found nothing worth listing.
  if (Interrupt::Requested()) return;
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
  const unsigned denied = aAccess_DeniedCount();
  found = FleetSearch::Find(linkTypeUSB, p.serialNumbers);
  // A USB device that may not be opened could be one of the rest: they are not looked for
  // on the network, where a namesake could be (each one's update then says why).
  if (aAccess_DeniedCount() != denied)
    return;
  std::vector<uint32_t> rest;
  for (uint32_t serial : p.serialNumbers)
    if (found.count(serial) == 0) rest.push_back(serial);
  for (const auto& entry : FleetSearch::Find(linkTypeTCPIP, rest)) found.insert(entry);
}

// Behind a router: one scan of its network gives every module's address; -d all takes them all.
void FindBehindRouter(Parameters& p, Updater& updater, UpdaterDisplayInterface& display, Found& found,
                      std::vector<DeviceInfo>& devices) {
  const linkType type = p.transportGiven ? static_cast<linkType>(p.transport) : linkTypeInvalid;
  display.message(kInfo, "Searching for Kovalink Network devices connected to %08X", p.routerSerialNumber);
  devices = updater.Discover_KLNetwork_Devices(p.routerSerialNumber, type);
  if (p.allModules)
    cli::_display_device_list(display, devices, type);
  for (const DeviceInfo& device : devices) {
    if (!found.emplace(device.spec.serialNumber, device.spec).second)
      continue;
    if (p.allModules)
      p.serialNumbers.push_back(device.spec.serialNumber);
  }
}

FirmwareUpdate::Route RouteOf(const Parameters& p, uint32_t serial, const Found& found) {
  FirmwareUpdate::Route route;
  route.serialNumber = serial;
  route.routerSerialNumber = p.routerSerialNumber;
  route.moduleAddress = p.moduleAddress;
  if (p.transportGiven)
    route.transport = static_cast<linkType>(p.transport);
  auto place = found.find(serial);
  if (place == found.end())
    return route;
  // Behind a router the scan gave the module's address; the router is reached anew.
  if (p.routerSerialNumber != 0)
    route.moduleAddress = static_cast<uint8_t>(place->second.module);
  else
    route.spec = place->second;
  return route;
}

// Each module is looked for once, before the updates start: its place is then known, and the
// updates reconnect there rather than each running a discovery of its own.
std::vector<FirmwareUpdate::Route> FindModules(Parameters& p, Updater& updater, UpdaterDisplayInterface& display,
                                               std::vector<DeviceInfo>& devices) {
  Found found;
  if (p.routerSerialNumber != 0) {
    FindBehindRouter(p, updater, display, found, devices);
  } else {
    display.message(kInfo, "Searching for Kovalink devices");
    if (p.allModules)
      DiscoverAll(p, updater, display, found, devices);
    else
      FindListed(p, found);
  }
  std::vector<FirmwareUpdate::Route> routes;
  for (uint32_t serial : p.serialNumbers)
    routes.push_back(RouteOf(p, serial, found));
  return routes;
}

// With -G each module first fetches its build, through its own display.
FleetUpdate::Download Downloader(const Parameters& p, const Updater& updater) {
  if (!p.commands.IsSet(CMD_GET)) return FleetUpdate::Download();
  const std::string url = updater.ServerUrl(), directory = updater.UpdaterDirectory(), build = p.build;
  const bool override = p.override;
  return [=](uint32_t serial, UpdaterDisplayInterface& display) {
    return Updater(url.c_str(), directory.c_str(), display).Download_Build(serial, build, override);
  };
}

}  // namespace

int RunFleetUpdate(Parameters& p, Updater& updater, UpdaterDisplayInterface& display, RunRecord& record) {
  std::vector<DeviceInfo> devices;
  std::vector<FirmwareUpdate::Route> routes = FindModules(p, updater, display, devices);
  // Interrupted while searching: the run ends with the signal, not with "No modules to update".
  if (Interrupt::Requested()) return 1;
  std::vector<ModuleOutcome> current = SetAsideCurrent(p, updater, devices, routes);
  FleetUpdate::Request request;
  aNumber_ParseU32(p.build.c_str(), 10, &request.build);  // without -b: 0, each module's latest
  record.updates.ran = true;
  record.updates.buildRequested = request.build;
  if (routes.empty() && current.empty()) {
    record.refusal = {aErrNotFound, "No modules to update"};
    display.message(kError, "%s", record.refusal.text.c_str());
    return 1;
  }
  request.birdFile = p.birdFile;
  request.override = p.override;
  request.parallel = p.parallel;
  request.download = Downloader(p, updater);
  for (const DeviceInfo& device : devices) request.known[device.spec.serialNumber] = device;
  display.message(kInfo, "Updating %zu modules, up to %u at a time", routes.size(), p.parallel);
  // With --json, stdout holds the document alone.
  FleetConsole console(display, p.json ? stderr : stdout, p.quiet);
  std::vector<ModuleOutcome> outcomes;
  for (const ModuleOutcome& outcome : current)
    display.message(kInfo, "%08X: current (build %u)", outcome.serialNumber, outcome.buildBefore);
  if (!routes.empty()) {
    FleetConsole::Notices notices(console);
    outcomes = updater.Update_Modules(routes, request, console);
  }
  outcomes.insert(outcomes.end(), current.begin(), current.end());
  record.updates.outcomes = outcomes;
  ResultLines result;  // the table and its sum are what -q keeps
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
