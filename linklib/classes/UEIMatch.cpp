#include "UEIMatch.h"

namespace Tessoral {
namespace Kovalink {

bool ueiReplyMatches(const aPacket* packet, const uei& pattern) {
  // A stream sample of the same option is never the reply to a request.
  return packet && packet->address == pattern.address && packet->dataSize >= 3 &&
         !(packet->data[2] & ueiSPECIFIER_STREAM) && packet->data[0] == pattern.command &&
         packet->data[1] == pattern.option &&
         (packet->data[2] & ueiSPECIFIER_INDEX_MASK) == pattern.specifier;
}

bool ueiTakeErrorReply(const aPacket* packet, uei* record) {
  if (!(packet->data[2] & ueiSPECIFIER_ERROR))
    return false;
  record->specifier = packet->data[2];
  record->value.byteValue = packet->data[3];
  return true;
}

}  // namespace Kovalink
}  // namespace Tessoral
