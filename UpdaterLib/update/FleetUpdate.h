// -U for several modules at once: each module runs the single-module update on its own
// link, side by side, at most `parallel` at a time. Modules behind one router share its
// link and go one after another. One module's failure never touches another's update.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "UpdaterDisplayInterface.h"
#include "download/DownloadResult.h"
#include "update/FirmwareUpdate.h"
#include "update/FleetObserver.h"
#include "update/ModuleOutcome.h"

class FleetUpdate {
public:
  static const unsigned DEFAULT_PARALLEL = 8;

  // Fetches the module's build into the store before its update: the build, 0 and its code on failure.
  typedef std::function<DownloadResult(uint32_t serialNumber, UpdaterDisplayInterface& display)> Download;

  struct Request {
    uint32_t build = 0;     // 0: each module's latest
    std::string birdFile;   // one file for every module (each gets its own serial number)
    bool override = false;
    unsigned parallel = DEFAULT_PARALLEL;
    Download download;      // empty: no download
    // What discovery read of each module, by serial number: the result of one whose
    // update never reached it still says what it was.
    std::map<uint32_t, DeviceInfo> known;
  };

  FleetUpdate(const std::string& serverUrl, const std::string& updaterDirectory, FleetObserver& observer);

  // One result per route, in the order of `routes`.
  std::vector<ModuleOutcome> Run(const std::vector<FirmwareUpdate::Route>& routes, const Request& request);

  // Indexes into `routes`, one group per link: a router's modules together, every other alone.
  static std::vector<std::vector<size_t>> Groups(const std::vector<FirmwareUpdate::Route>& routes);

private:
  void runModule(const FirmwareUpdate::Route& route, const Request& request, ModuleOutcome& outcome);

  std::string serverUrl_;
  std::string updaterDirectory_;
  FleetObserver& observer_;
};
