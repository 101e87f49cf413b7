// Whether a BIRD file may go into a module: the one judgement that -U makes before
// it sends a frame and that -C makes without a module. Each check returns the reason
// it refuses, in words that follow "Birdfile failed validation: "; empty when it passes.
#pragma once
#include <cstdint>
#include <string>

class BirdFile;

namespace BirdCheck {

// The line every refusal is shown with.
const char* const kRefusal = "Birdfile failed validation";

// The model name the file's information block carries; empty when it has none.
std::string ModelName(const BirdFile& file);

// The checks that need no module: the file holds firmware, and a file without
// serial-number offsets is made for module `serialNumber`.
std::string FileReason(const BirdFile& file, uint32_t serialNumber);
// The file's model against the module's (the check -OVERRIDE skips).
std::string ModelReason(const BirdFile& file, const char* moduleModel);
// Which modules an update accepts the file for, as -C says it without -d.
std::string Condition(const BirdFile& file);

}  // namespace BirdCheck
