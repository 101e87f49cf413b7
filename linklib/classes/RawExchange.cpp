#include "RawExchange.h"

namespace Tessoral {
namespace Kovalink {

aErr rawExchange(linkRef ref, const RawRequest& request, aPacketFilter filter, unsigned long timeoutMS,
                aPacket** reply) {
  *reply = nullptr;
  aPacket* packet = aPacket_CreateWithData(request.address, request.length, request.data);
  if (!packet)
    return aErrResource;
  aErr put = aLink_PutPacket(ref, packet);
  aPacket_Destroy(&packet);
  if (put != aErrNone)
    return put;
  *reply = aLink_AwaitFirst(ref, filter, const_cast<RawRequest*>(&request), timeoutMS);
  return *reply ? aErrNone : aErrTimeout;
}

uint8_t byteSum(const uint8_t* bytes, size_t length) {
  uint8_t sum = 0;
  for (size_t i = 0; i < length; ++i)
    sum = static_cast<uint8_t>(sum + bytes[i]);
  return sum;
}

}  // namespace Kovalink
}  // namespace Tessoral
