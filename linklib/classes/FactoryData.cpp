#include "FactoryData.h"

#include <string.h>

#include "Link.h"
#include "ModuleCommands.h"
#include "RawExchange.h"
#include "aBytes.h"

namespace Tessoral {
namespace Kovalink {

namespace {

const uint8_t kErrorBit = 0x80;
const size_t kFactoryChunk = 26;
const uint8_t kFactoryFirst = 0x40;
const uint8_t kFactoryWrite = 0x10;
const uint8_t kFactoryClose = 0x20;
const uint8_t kFactoryItemMask = 0x0F;

bool sFactoryFilter(const aPacket* packet, void* reference) {
  const RawRequest* request = static_cast<const RawRequest*>(reference);
  if (!packet || packet->address != request->address || packet->dataSize <= 1 || packet->data[0] != cmdFACTORY)
    return false;
  return (packet->data[1] & ~kErrorBit) == (request->data[1] & kFactoryItemMask);
}

RawRequest sFactoryRequest(uint8_t address, uint8_t flags) {
  RawRequest request{};
  request.address = address;
  request.data[0] = cmdFACTORY;
  request.data[1] = flags;
  request.length = 2;
  return request;
}

// The closing packet names the bytes moved; the module confirms or refuses.
aErr sCloseFactory(linkRef ref, uint8_t address, size_t total) {
  RawRequest request = sFactoryRequest(address, kFactoryClose);
  aBytes_PutBE16(&request.data[2], static_cast<uint16_t>(total));
  request.length = 4;
  aPacket* reply = nullptr;
  aErr result = rawExchange(ref, request, sFactoryFilter, kReplyTimeoutMS, &reply);
  if (result != aErrNone)
    return result;
  if (reply->dataSize == 3 && (reply->data[1] & kErrorBit))
    result = moduleErrorCode(reply->data[2]);
  aPacket_Destroy(&reply);
  return result;
}

}  // namespace

aErr FactoryData::get(uint8_t address, uint8_t item, uint8_t* buffer, size_t capacity, size_t* count) {
  if (!count || !buffer || item > kFactoryItemMask)
    return aErrParam;
  *count = 0;
  if (!link.isConnected())
    return aErrConnection;
  const linkRef ref = link.getLinkRef();
  size_t read = 0;
  aErr result = aErrNone;
  for (bool first = true, full = true; result == aErrNone && full; first = false) {
    RawRequest request = sFactoryRequest(address, static_cast<uint8_t>(item | (first ? kFactoryFirst : 0)));
    aPacket* reply = nullptr;
    result = rawExchange(ref, request, sFactoryFilter, kReplyTimeoutMS, &reply);
    if (result != aErrNone)
      break;
    const size_t payload = reply->dataSize - 2u;
    // An error reply is no data, whatever room is left.
    if (reply->data[1] & kErrorBit)
      result = moduleErrorCode(reply->data[2]);
    else if (read + payload >= capacity)
      result = aErrOverrun;
    else
      memcpy(buffer + read, &reply->data[2], payload);
    read += result == aErrNone ? payload : 0;
    full = reply->dataSize == aPACKET_MAX_DATA;
    aPacket_Destroy(&reply);
  }
  if (result == aErrNone)
    result = sCloseFactory(ref, address, read);
  if (result == aErrNone)
    *count = read;
  return result;
}

aErr FactoryData::set(uint8_t address, uint8_t item, const uint8_t* bytes, size_t length) {
  if ((length > 0 && !bytes) || item > kFactoryItemMask || length > 0xFFFF)
    return aErrParam;
  if (!link.isConnected())
    return aErrConnection;
  const linkRef ref = link.getLinkRef();
  aErr result = aErrNone;
  for (size_t position = 0; result == aErrNone && position < length;) {
    const size_t n = length - position < kFactoryChunk ? length - position : kFactoryChunk;
    const uint8_t flags = static_cast<uint8_t>(item | kFactoryWrite | (position == 0 ? kFactoryFirst : 0));
    RawRequest request = sFactoryRequest(address, flags);
    memcpy(&request.data[2], bytes + position, n);
    request.length = static_cast<uint8_t>(2 + n);
    aPacket* reply = nullptr;
    result = rawExchange(ref, request, sFactoryFilter, kReplyTimeoutMS, &reply);
    if (result != aErrNone)
      break;
    if (reply->data[1] & kErrorBit)
      result = reply->dataSize >= 3 ? moduleErrorCode(reply->data[2]) : aErrUnknown;
    else if (reply->dataSize != 2)
      result = aErrSize;
    aPacket_Destroy(&reply);
    position += n;
  }
  return result == aErrNone ? sCloseFactory(ref, address, length) : result;
}

}  // namespace Kovalink
}  // namespace Tessoral
