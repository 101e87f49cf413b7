// Recognising and parsing the stream packets a module sends unasked: a kind of
// UEI reply with the stream bit in its specifier, a sample type, a time stamp
// and a value.
#pragma once
#include <stdint.h>

#include "Link.h"
#include "aPacket.h"

namespace Tessoral {
namespace Kovalink {

class StreamPacket {
public:
  static bool isStream(const aPacket* packet);
  // A stream packet whose data length is exactly its sample type's.
  static bool isSample(const aPacket* packet);
  static bool type(const aPacket* packet, Link::STREAM_PACKET* type);
  static bool isSubindexType(Link::STREAM_PACKET type);
  // aErrPacket for no stream packet or no valid sample, aErrSize for a
  // byte-array packet; each output may be null.
  static aErr sample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex);
  static void timestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low);
};

}  // namespace Kovalink
}  // namespace Tessoral
