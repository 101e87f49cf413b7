#include "Station.h"

#include <cstdio>

#include "CurrentModules.h"
#include "FleetConsole.h"
#include "Interrupt.h"
#include "Module.h"
#include "StationLog.h"
#include "aDefs.h"
#include "discovery/ModuleDiscovery.h"

namespace {

// Searches in a row that must miss a module before it counts as gone: a discovery
// reply lost on a busy network is not an unplugged module.
const unsigned kMissesToLeave = 2;

// What the module runs now, read over a link of its own that is closed again.
DeviceInfo ReadModule(const linkSpec& spec) {
  DeviceInfo info;
  info.spec = spec;
  info.modelName = aDefs_GetModelName(spec.model);
  Tessoral::Kovalink::Module module(2, 0);
  info.error = module.connectFromSpec(spec);
  if (info.error == aErrNone) {
    FirmwareUpdate::AwaitRunningLink(module);
    info.build = ModuleDiscovery::_get_build_number(module);
    info.error = ModuleDiscovery::_get_version(module, info);
  }
  module.disconnect();
  return info;
}

}  // namespace

Station::Station(const Settings& settings, StationLog& log, FleetConsole& console)
    : settings_(settings), log_(log), console_(console) {
  const unsigned workers = settings_.parallel == 0 ? 1 : settings_.parallel;
  for (unsigned i = 0; i < workers; i++) workers_.emplace_back([this] { work(); });
}

Station::~Station() { Finish(); }

bool Station::Accepts(uint32_t serialNumber) const {
  if (settings_.accept.empty()) return true;
  const std::string text = StationLog::Serial(serialNumber);
  for (const std::string& prefix : settings_.accept)
    if (text.compare(0, prefix.size(), prefix) == 0) return true;
  return false;
}

void Station::Seen(linkType type, const std::map<uint32_t, linkSpec>& present) {
  std::lock_guard<std::mutex> hold(lock_);
  if (stopping_) return;
  for (const auto& found : present) {
    if (found.first == 0 || !Accepts(found.first)) continue;
    auto known = entries_.find(found.first);
    if (known == entries_.end()) {
      known = entries_.emplace(found.first, Entry()).first;
      order_.push_back(found.first);
    }
    Entry& entry = known->second;
    if (entry.present) {
      if (entry.spec.type == type) entry.misses = 0;
      continue;
    }
    entry.present = true;
    entry.busy = true;
    entry.misses = 0;
    entry.spec = found.second;
    arrivals_++;
    log_.Appeared(found.second);
    queue_.push_back(found.first);
    wake_.notify_one();
  }
  for (auto& known : entries_) {
    Entry& entry = known.second;
    if (!entry.present || entry.busy || entry.spec.type != type || present.count(known.first) != 0) continue;
    if (++entry.misses < kMissesToLeave) continue;
    entry.present = false;
    log_.Left(known.first);
  }
}

void Station::work() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    wake_.wait(hold, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;
    const uint32_t serial = queue_.front();
    queue_.pop_front();
    const linkSpec spec = entries_[serial].spec;
    hold.unlock();
    // A stop asked for before the module's turn leaves it untouched.
    if (Interrupt::Requested()) {
      ModuleOutcome outcome;
      outcome.serialNumber = serial;
      outcome.error = aErrCancel;
      outcome.errorText = "Not started: interrupted";
      done(serial, outcome, false);
    } else {
      done(serial, handle(serial, spec), true);
    }
    hold.lock();
  }
}

// One arrival: a module that runs the wanted build is left alone; any other goes
// through the single-module update, reached where discovery found it.
ModuleOutcome Station::handle(uint32_t serialNumber, const linkSpec& spec) {
  const DeviceInfo device = ReadModule(spec);
  const UpdatePlan::Module plan = UpdatePlan(settings_.plan).For(serialNumber, &device);
  if (plan.current && !settings_.force) return CurrentOutcome(device);
  FleetUpdate::Request request = settings_.update;
  request.parallel = 1;
  request.known[serialNumber] = device;
  // The build just chosen is the one written: the update does not choose again.
  if (request.birdFile.empty() && !request.download && plan.buildWanted != 0) request.build = plan.buildWanted;
  log_.Started(serialNumber, device.build, plan.buildWanted);
  FirmwareUpdate::Route route;
  route.serialNumber = serialNumber;
  route.spec = spec;
  return FleetUpdate(settings_.plan.serverUrl, settings_.plan.updaterDirectory, console_).Run({route}, request)[0];
}

void Station::done(uint32_t serialNumber, const ModuleOutcome& outcome, bool touched) {
  log_.Result(outcome);
  std::lock_guard<std::mutex> hold(lock_);
  Entry& entry = entries_[serialNumber];
  entry.busy = false;
  entry.misses = 0;
  entry.last = outcome;
  if (touched && !outcome.succeeded) failed_ = true;
}

void Station::Finish() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& worker : workers_)
    if (worker.joinable()) worker.join();
  workers_.clear();
}

std::vector<ModuleOutcome> Station::Table() const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<ModuleOutcome> rows;
  for (uint32_t serial : order_) {
    ModuleOutcome row = entries_.at(serial).last;
    row.serialNumber = serial;
    rows.push_back(row);
  }
  return rows;
}

unsigned Station::Arrivals() const {
  std::lock_guard<std::mutex> hold(lock_);
  return arrivals_;
}

bool Station::AllSucceeded() const {
  std::lock_guard<std::mutex> hold(lock_);
  return !failed_;
}
