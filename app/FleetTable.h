// The table that ends a fleet update: one row per module.
#pragma once
#include <string>
#include <vector>

#include "update/ModuleOutcome.h"

namespace cli {

// The heading and one line per outcome, in the order given. A result too long
// for `columns` continues under its column on the lines below; -1 takes the
// width of the terminal on stdout (none when stdout is no terminal), 0 none.
std::vector<std::string> _fleet_table(const std::vector<ModuleOutcome>& outcomes, int columns = -1);

}  // namespace cli
