// Factory data of a module reached over a Link: an item's records moved in a
// run of packets closed by a packet naming the byte count.
#pragma once
#include "aError.h"
#include <stddef.h>
#include <stdint.h>

namespace Tessoral {
namespace Kovalink {

class Link;

class FactoryData {
public:
  explicit FactoryData(Link& owner) : link(owner) {}

  // The buffer needs room for one byte more than the item holds.
  aErr get(uint8_t address, uint8_t item, uint8_t* buffer, size_t capacity, size_t* count);
  aErr set(uint8_t address, uint8_t item, const uint8_t* bytes, size_t length);

private:
  Link& link;
};

}  // namespace Kovalink
}  // namespace Tessoral
