#include "DryRunCommand.h"

#include <cstdio>
#include <string>
#include <vector>

#include "CurrentModules.h"
#include "JsonOutput.h"
#include "StationLog.h"
#include "aTime.h"
#include "update/UpdatePlan.h"

namespace {

using Json = JsonOutput::Json;

const char* const kNoModules = "No modules to update";

// Every module on the transports the update would search, read for its build.
std::vector<DeviceInfo> Discover(const Parameters& p, Updater& updater) {
  if (p.transportGiven) return updater.Discover_Devices(static_cast<linkType>(p.transport));
  return updater.Discover_Devices(linkTypeInvalid);
}

const DeviceInfo* Find(const std::vector<DeviceInfo>& devices, uint32_t serial) {
  for (const DeviceInfo& device : devices)
    if (device.spec.serialNumber == serial) return &device;
  return nullptr;
}

// "1420" or "current": -d all leaves a module that runs the build alone unless forced.
std::string ToWrite(const UpdatePlan::Module& plan, bool skipsCurrent) {
  if (plan.current && skipsCurrent) return "current";
  if (plan.buildWanted != 0) return std::to_string(plan.buildWanted);
  return plan.source.empty() ? "-" : "the file's";
}

std::string Row(const UpdatePlan::Module& plan, bool skipsCurrent) {
  char row[2400];
  if (!plan.found) {
    snprintf(row, sizeof(row), "%08X  %-22s %-12s cannot be updated: %s", plan.serialNumber, "-", "-",
             plan.problem.c_str());
    return row;
  }
  const std::string where = StationLog::Where(plan.device.spec);
  const std::string builds = std::to_string(plan.device.build) + " -> " + ToWrite(plan, skipsCurrent);
  if (!plan.problem.empty())
    snprintf(row, sizeof(row), "%08X  %-22s %-12s %-20s cannot be updated: %s", plan.serialNumber, where.c_str(),
             plan.device.modelName.c_str(), builds.c_str(), plan.problem.c_str());
  else
    snprintf(row, sizeof(row), "%08X  %-22s %-12s %-20s from %s", plan.serialNumber, where.c_str(),
             plan.device.modelName.c_str(), builds.c_str(), plan.source.c_str());
  return row;
}

Json PlanJson(const UpdatePlan::Module& plan, bool skipsCurrent) {
  Json module = {{"serial", StationLog::Serial(plan.serialNumber)}, {"found", plan.found}};
  if (plan.found) {
    module["where"] = StationLog::Where(plan.device.spec);
    module["model"] = plan.device.modelName;
    module["build_now"] = plan.device.build;
  }
  module["build_to_write"] = plan.buildWanted;
  module["current"] = plan.current && skipsCurrent;
  module["source"] = plan.source;
  module["can_update"] = plan.problem.empty();
  if (!plan.problem.empty()) module["problem"] = plan.problem;
  return module;
}

}  // namespace

int RunDryRun(Parameters& p, Updater& updater, UpdaterDisplayInterface& display) {
  const uint64_t startUS = aTime_GetMonotonicUS();
  display.message(UpdaterDisplayInterface::Info, "Searching for Kovalink devices");
  const std::vector<DeviceInfo> devices = Discover(p, updater);
  std::vector<uint32_t> serials = p.serialNumbers;
  if (p.allModules)
    for (const DeviceInfo& device : devices) serials.push_back(device.spec.serialNumber);
  const bool skipsCurrent = p.allModules && !p.force;
  const UpdatePlan planner(PlanRequestFor(p, updater));
  display.message(UpdaterDisplayInterface::Info, "Plan (dry run: nothing is downloaded or written):");
  char header[160];
  snprintf(header, sizeof(header), "%-10s%-23s%-13s%-21s%s", "Device", "Where", "Model", "Build now -> write",
           "Source");
  display.message(UpdaterDisplayInterface::Info, "%s", header);
  Json plans = Json::array();
  size_t ready = 0;
  Json error;  // the first module's problem, in plan order
  for (uint32_t serial : serials) {
    const UpdatePlan::Module plan = planner.For(serial, Find(devices, serial));
    display.message(UpdaterDisplayInterface::Info, "%s", Row(plan, skipsCurrent).c_str());
    plans.push_back(PlanJson(plan, skipsCurrent));
    ready += plan.problem.empty() ? 1 : 0;
    if (!plan.problem.empty() && error.is_null())
      error = {{"code", static_cast<int>(plan.error != aErrNone ? plan.error : aErrUnknown)}, {"text", plan.problem}};
  }
  const int exitCode = !serials.empty() && ready == serials.size() ? 0 : 1;
  if (serials.empty()) display.message(UpdaterDisplayInterface::Error, "%s", kNoModules);
  display.message(UpdaterDisplayInterface::Info, "%zu of %zu modules could be updated", ready, serials.size());
  if (!p.json)
    return exitCode;
  Json document = {{"command", "update"},
                   {"exit_code", exitCode},
                   {"seconds", static_cast<double>(aTime_GetMonotonicUS() - startUS) / 1e6}};
  // Nothing to plan is the run's failure, with the code a module not found gets.
  if (serials.empty())
    document["error"] = {{"code", static_cast<int>(aErrNotFound)}, {"text", kNoModules}};
  else if (!error.is_null())
    document["error"] = error;
  document["dry_run"] = true;
  document["plan"] = plans;
  JsonOutput::Print(stdout, document);
  return exitCode;
}
