// One raw request and the reply that a filter recognises, the exchange under
// the block transfers (store slots, factory data).
#pragma once
#include <stdint.h>

#include "aLink.h"
#include "aPacket.h"

namespace Tessoral {
namespace Kovalink {

// The request a reply must answer: its module and its data bytes. Filters get
// it as their reference.
struct RawRequest {
  uint8_t address;
  uint8_t data[aPACKET_MAX_DATA];
  uint8_t length;
};

// Sends the request and waits for the reply its filter accepts. A failed send
// gives its code and no reply; a missing reply gives aErrTimeout. The caller
// releases the reply.
aErr rawExchange(linkRef ref, const RawRequest& request, aPacketFilter filter, unsigned long timeoutMS,
                aPacket** reply);

// The 8-bit sum of the bytes, by which a module confirms a chunk.
uint8_t byteSum(const uint8_t* bytes, size_t length);

}  // namespace Kovalink
}  // namespace Tessoral
