// Stream keys: the five fields of a streamed value (module address, command,
// option, entity index, subindex) packed into one 64-bit map key. 0xFF in a
// field of a registered key is a wildcard.
#pragma once
#include <stdint.h>

namespace Tessoral {
namespace Kovalink {

class StreamKey {
public:
  static const uint8_t kWildcard = 0xFF;
  // Wildcard combinations a concrete key can be covered by (the address is
  // never a wildcard).
  static const int kGenericMasks = 15;

  static uint64_t create(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex);
  // Element 0 address, 1 command, 2 option, 3 index, 4 subindex; others give 0.
  static uint8_t element(uint64_t key, int element);
  // True when each field equals the wanted one or the wanted one is 0xFF.
  static bool matches(uint64_t key, uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                      uint8_t subindex);
  // True when no field is a wildcard: a key of a value that streams.
  static bool isConcrete(uint64_t key);
  // OR-ed into a concrete key, mask i (0 to 14) gives the wildcard key of
  // combination i + 1 (bit 0 index, bit 1 option, bit 2 command, bit 3 subindex).
  static uint64_t genericMask(int i);
};

}  // namespace Kovalink
}  // namespace Tessoral
