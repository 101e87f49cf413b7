#include "FleetTable.h"

#include <cstdio>

namespace {

std::string BuildText(uint32_t build) { return build != 0 ? std::to_string(build) : "-"; }

std::string ResultText(const ModuleOutcome& outcome) {
  if (outcome.current) return "current (build " + std::to_string(outcome.buildBefore) + ")";
  if (outcome.succeeded) return "updated";
  // A stopped run is not a module fault: the same -U finishes it.
  std::string text = outcome.error == aErrCancel ? "INTERRUPTED" : "FAILED";
  if (!outcome.errorText.empty()) text += ": " + outcome.errorText;
  return text;
}

}  // namespace

std::vector<std::string> cli::_fleet_table(const std::vector<ModuleOutcome>& outcomes) {
  std::vector<std::string> lines;
  char row[2200];
  snprintf(row, sizeof(row), "%-10s%-15s%-21s%9s  %s", "Device", "Model", "Build before -> after", "Time",
           "Result");
  lines.push_back(row);
  for (const ModuleOutcome& o : outcomes) {
    const std::string builds = BuildText(o.buildBefore) + " -> " + BuildText(o.buildAfter);
    char seconds[32];
    snprintf(seconds, sizeof(seconds), "%.1f s", o.seconds);
    snprintf(row, sizeof(row), "%08X  %-15s%-21s%9s  %s", o.serialNumber, o.model.empty() ? "-" : o.model.c_str(),
             builds.c_str(), seconds, ResultText(o).c_str());
    lines.push_back(row);
  }
  return lines;
}
