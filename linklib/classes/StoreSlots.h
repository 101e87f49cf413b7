// Store slots of a module reached over a Link: numbered storage areas read and
// written through an open, transfer (25-byte chunks, each confirmed by its
// byte sum), close handshake.
#pragma once
#include "aError.h"
#include <stddef.h>
#include <stdint.h>

namespace Tessoral {
namespace Kovalink {

class Link;

class StoreSlots {
public:
  explicit StoreSlots(Link& owner) : link(owner) {}

  aErr capacity(uint8_t address, uint8_t store, uint8_t slot, size_t* capacity);
  aErr size(uint8_t address, uint8_t store, uint8_t slot, size_t* size);
  // Writes the bytes into the slot; the slot is closed whatever happened.
  aErr load(uint8_t address, uint8_t store, uint8_t slot, const uint8_t* bytes, size_t length);
  // Reads the slot into the buffer; aErrOverrun, with the buffer full, when
  // the slot holds more than it.
  aErr unload(uint8_t address, uint8_t store, uint8_t slot, uint8_t* buffer, size_t capacity, size_t* count);

private:
  Link& link;
};

}  // namespace Kovalink
}  // namespace Tessoral
