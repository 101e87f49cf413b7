// The table that ends a fleet update: one row per module.
#pragma once
#include <string>
#include <vector>

#include "update/ModuleOutcome.h"

namespace cli {

// The heading and one line per outcome, in the order given.
std::vector<std::string> _fleet_table(const std::vector<ModuleOutcome>& outcomes);

}  // namespace cli
