#include "FleetTable.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "CLI_Display.h"

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

// The result column's text in pieces of at most `width`, broken at blanks where it can.
std::vector<std::string> WrapText(const std::string& text, size_t width) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (text.size() - start > width) {
    size_t cut = text.rfind(' ', start + width);
    if (cut == std::string::npos || cut <= start)
      cut = start + width;
    pieces.push_back(text.substr(start, cut - start));
    start = text[cut] == ' ' ? cut + 1 : cut;
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

// The narrowest result column worth wrapping into.
const size_t kMinResultWidth = 16;

}  // namespace

std::vector<std::string> cli::_fleet_table(const std::vector<ModuleOutcome>& outcomes, int columns) {
  if (columns < 0)
    columns = isatty(fileno(stdout)) == 1 ? CLI_Display::Columns(stdout) : 0;
  std::vector<std::string> lines;
  char row[2200];
  snprintf(row, sizeof(row), "%-10s%-15s%-21s%9s  %s", "Device", "Model", "Build before -> after", "Time",
           "Result");
  lines.push_back(row);
  for (const ModuleOutcome& o : outcomes) {
    const std::string builds = BuildText(o.buildBefore) + " -> " + BuildText(o.buildAfter);
    char seconds[32];
    snprintf(seconds, sizeof(seconds), "%.1f s", o.seconds);
    snprintf(row, sizeof(row), "%08X  %-15s%-21s%9s  ", o.serialNumber, o.model.empty() ? "-" : o.model.c_str(),
             builds.c_str(), seconds);
    const std::string left = row;
    // A line of the full width would wrap on the terminal: stay one short.
    const size_t room = columns > 0 ? static_cast<size_t>(columns - 1) : 0;
    const size_t width = room > left.size() ? std::max(room - left.size(), kMinResultWidth) : kMinResultWidth;
    std::vector<std::string> pieces = columns > 0 ? WrapText(ResultText(o), width)
                                                  : std::vector<std::string>{ResultText(o)};
    lines.push_back(left + pieces[0]);
    for (size_t i = 1; i < pieces.size(); i++)
      lines.push_back(std::string(left.size(), ' ') + pieces[i]);
  }
  return lines;
}
