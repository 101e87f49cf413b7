// The BIRD file the update benches send: a loader and `imageBytes` of firmware that carries
// its own information block, as real firmware does, so the module comes back running `build`.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "TestSupport.h"

namespace bench {

std::string WriteBenchBird(const testsupport::TempDir& dir, size_t imageBytes, uint32_t build);

}  // namespace bench
