// What identifies a chip in recovery mode.
#pragma once
#include <cstdint>

// Four words identifying a chip in recovery mode, word 0 first.
struct Fingerprint {
  uint32_t word[4] = {0, 0, 0, 0};
};
