#include "StreamKey.h"

namespace Tessoral {
namespace Kovalink {

namespace {

const int kElements = 5;
// Bit position of each element, in element order.
const unsigned kShift[kElements] = {24, 16, 8, 0, 32};

}  // namespace

uint64_t StreamKey::create(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
  const uint8_t fields[kElements] = {address, command, option, index, subindex};
  uint64_t key = 0;
  for (int i = 0; i < kElements; ++i)
    key |= static_cast<uint64_t>(fields[i]) << kShift[i];
  return key;
}

uint8_t StreamKey::element(uint64_t key, int element) {
  if (element < 0 || element >= kElements)
    return 0;
  return static_cast<uint8_t>(key >> kShift[element]);
}

bool StreamKey::matches(uint64_t key, uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                        uint8_t subindex) {
  const uint8_t wanted[kElements] = {address, command, option, index, subindex};
  for (int i = 0; i < kElements; ++i)
    if (wanted[i] != kWildcard && element(key, i) != wanted[i])
      return false;
  return true;
}

bool StreamKey::isConcrete(uint64_t key) {
  for (int i = 0; i < kElements; ++i)
    if (element(key, i) == kWildcard)
      return false;
  return true;
}

uint64_t StreamKey::genericMask(int i) {
  const unsigned fields = static_cast<unsigned>(i + 1);
  uint64_t mask = 0;
  if (fields & 1)
    mask |= 0xFFull;
  if (fields & 2)
    mask |= 0xFF00ull;
  if (fields & 4)
    mask |= 0xFF0000ull;
  if (fields & 8)
    mask |= 0xFF00000000ull;
  return mask;
}

}  // namespace Kovalink
}  // namespace Tessoral
