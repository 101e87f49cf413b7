#include "WatchCommand.h"

#include <cstdio>
#include <map>
#include <thread>

#include "CurrentModules.h"
#include "FleetConsole.h"
#include "FleetTable.h"
#include "Interrupt.h"
#include "Station.h"
#include "StationLog.h"
#include "aDiscovery.h"
#include "aTime.h"
#include "aUSBArrivals.h"

namespace {

// USB is cheap to enumerate; a network discovery listens for its replies for 2 s.
const unsigned kUsbPollMs = 1000;
const unsigned kNetworkPauseMs = 1000;
const unsigned kSliceMs = 50;

bool cbPresent(const linkSpec* spec, bool* success, void* reference) {
  auto& present = *static_cast<std::map<uint32_t, linkSpec>*>(reference);
  if (spec->serialNumber != 0 && present.count(spec->serialNumber) == 0) present[spec->serialNumber] = *spec;
  *success = true;
  return true;
}

// One transport's searches, until the signal. A USB arrival that the hotplug
// notice reports cuts the pause short.
void Scan(linkType type, Station& station, aUSBArrivals* arrivals) {
  const unsigned pause = type == linkTypeUSB ? kUsbPollMs : kNetworkPauseMs;
  while (!Interrupt::Requested()) {
    std::map<uint32_t, linkSpec> present;
    aDiscovery_EnumerateModules(type, cbPresent, &present);
    if (Interrupt::Requested()) break;
    station.Seen(type, present);
    for (unsigned waited = 0; waited < pause && !Interrupt::Requested(); waited += kSliceMs) {
      if (aUSBArrivals_Take(arrivals)) break;
      aTime_MSSleep(kSliceMs);
    }
  }
}

Station::Settings StationSettings(const Parameters& p, const Updater& updater) {
  Station::Settings settings;
  settings.parallel = p.parallel;
  settings.force = p.force;
  if (!p.allModules) settings.accept = p.serialWords;
  settings.plan = PlanRequestFor(p, updater);
  settings.update.build = settings.plan.build;
  settings.update.birdFile = p.birdFile;
  settings.update.override = p.override;
  if (settings.plan.download) {
    const std::string url = settings.plan.serverUrl, directory = settings.plan.updaterDirectory, build = p.build;
    const bool override = p.override;
    settings.update.download = [=](uint32_t serial, UpdaterDisplayInterface& display) {
      return Updater(url.c_str(), directory.c_str(), display).Download_Build(serial, build, override);
    };
  }
  return settings;
}

std::vector<linkType> Transports(const Parameters& p) {
  if (p.transportGiven) return {static_cast<linkType>(p.transport)};
  return {linkTypeUSB, linkTypeTCPIP};
}

}  // namespace

int RunWatch(Parameters& p, Updater& updater, UpdaterDisplayInterface& display) {
  // With --json, stdout carries the event lines alone.
  FleetConsole console(display, p.json ? stderr : stdout, p.quiet);
  StationLog log(p.json, stdout, console);
  std::vector<std::string> names;
  for (linkType type : Transports(p)) names.push_back(type == linkTypeUSB ? "USB" : "TCPIP");
  log.Watching(names, p.allModules ? std::vector<std::string>() : p.serialWords);
  Station station(StationSettings(p, updater), log, console);
  {
    FleetConsole::Notices notices(console);
    aUSBArrivals* arrivals = nullptr;  // stays null where there are no hotplug notices: USB is polled
    std::vector<std::thread> scanners;
    for (linkType type : Transports(p)) {
      if (type == linkTypeUSB) aUSBArrivals_Create(&arrivals);
      scanners.emplace_back(Scan, type, std::ref(station), type == linkTypeUSB ? arrivals : nullptr);
    }
    for (std::thread& scanner : scanners) scanner.join();
    station.Finish();
    if (arrivals != nullptr) aUSBArrivals_Destroy(&arrivals);
  }
  const std::vector<ModuleOutcome> table = station.Table();
  const int exitCode = station.AllSucceeded() ? 0 : 1;
  for (const std::string& line : cli::_fleet_table(table)) display.message(UpdaterDisplayInterface::Info, "%s", line.c_str());
  log.Stopped(table, station.Arrivals(), exitCode);
  return exitCode;
}
