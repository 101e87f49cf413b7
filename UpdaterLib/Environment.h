// Settings taken from environment variables (UPDATER_*_SECONDS and the like).
#pragma once
#include <cstdint>

namespace Environment {

// The whole decimal number of seconds in variable `name`, or `fallback` when
// the variable is unset, empty, 0 or not such a number (noted in the debug log).
// One rule for every variable: 0 never means "no time at all".
uint32_t Seconds(const char* name, uint32_t fallback);

}  // namespace Environment
