// The heart of -U --watch: keeps track of the modules present on each transport, hands
// every module that appears to a worker (at most `parallel` at a time), which updates it
// through the single-module flow unless it already runs the wanted build, and remembers
// each module's last result for the table at the end. A module that is being worked on
// may drop off the bus while it reboots: its absence is not counted until it is done.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "aLinkSpec.h"
#include "update/FleetUpdate.h"
#include "update/ModuleOutcome.h"
#include "update/UpdatePlan.h"

class FleetConsole;
class StationLog;

class Station {
public:
  struct Settings {
    unsigned parallel = FleetUpdate::DEFAULT_PARALLEL;
    bool force = false;
    // Serial numbers, or their leading digits ("%08X" form); empty accepts every module.
    std::vector<std::string> accept;
    UpdatePlan::Request plan;
    FleetUpdate::Request update;
  };

  Station(const Settings& settings, StationLog& log, FleetConsole& console);
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // What one search of `type` found present: arrivals are queued, absences counted.
  void Seen(linkType type, const std::map<uint32_t, linkSpec>& present);
  // Takes no more work and waits for the workers; updates under way end as the
  // interrupt makes them end.
  void Finish();

  bool Accepts(uint32_t serialNumber) const;
  // One row per module seen, in the order they first appeared.
  std::vector<ModuleOutcome> Table() const;
  unsigned Arrivals() const;
  // True when every module handled so far succeeded (or was current).
  bool AllSucceeded() const;

private:
  struct Entry {
    linkSpec spec{};
    bool present = false;
    bool busy = false;
    unsigned misses = 0;
    ModuleOutcome last;
  };

  void work();
  ModuleOutcome handle(uint32_t serialNumber, const linkSpec& spec);
  void done(uint32_t serialNumber, const ModuleOutcome& outcome, bool touched);

  Settings settings_;
  StationLog& log_;
  FleetConsole& console_;
  mutable std::mutex lock_;
  std::condition_variable wake_;
  std::map<uint32_t, Entry> entries_;
  std::vector<uint32_t> order_;
  std::deque<uint32_t> queue_;
  unsigned arrivals_ = 0;
  bool failed_ = false;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};
