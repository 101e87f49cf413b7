// Modules that already run the build -U would write: -d all and --watch leave them alone
// (unless --force) and report them "current (build N)".
#pragma once
#include <vector>

#include "Parameters.h"
#include "Updater.h"
#include "update/ModuleOutcome.h"
#include "update/UpdatePlan.h"

// The build choice of this command line, for plans that must agree with its update.
UpdatePlan::Request PlanRequestFor(const Parameters& p, const Updater& updater);

// The outcome of a module left alone because it runs the wanted build.
ModuleOutcome CurrentOutcome(const DeviceInfo& device);

// With -d all and without --force: takes the routes of the discovered modules that run
// their wanted build out of `routes` and returns their outcomes, in discovery order.
std::vector<ModuleOutcome> SetAsideCurrent(const Parameters& p, const Updater& updater,
                                           const std::vector<DeviceInfo>& devices,
                                           std::vector<FirmwareUpdate::Route>& routes);
