// Store slots (open, transfer in 25-byte chunks, close) and factory data (runs
// of 26-byte packets closed by a length packet) over raw packets.
#include <string.h>

#include "LinkImpl.h"
#include "ModuleCommands.h"
#include "aUEI.h"

namespace Tessoral {
namespace Kovalink {

namespace {

enum : uint8_t {
  slotCapacity = 1,
  slotSize = 2,
  slotOpenRead = 3,
  slotOpenWrite = 4,
  slotRead = 6,
  slotWrite = 7,
  slotClose = 8,
};

const uint8_t kErrorBit = 0x80;
const uint8_t kNoHandle = 255;
const size_t kSlotChunk = 25;
const size_t kFactoryChunk = 26;
const unsigned long kOpenTimeoutMS = 3000;

const uint8_t kFactoryFirst = 0x40;
const uint8_t kFactoryWrite = 0x10;
const uint8_t kFactoryClose = 0x20;
const uint8_t kFactoryItemMask = 0x0F;

// The request a reply must answer: its module and its data bytes.
struct Request {
  uint8_t address;
  uint8_t data[aPACKET_MAX_DATA];
  uint8_t length;
};

bool sSlotFilter(const aPacket* packet, void* reference) {
  const Request* request = static_cast<const Request*>(reference);
  if (!packet || packet->address != request->address || packet->dataSize <= 3 || packet->data[0] != cmdSLOT)
    return false;
  const uint8_t operation = request->data[1];
  if ((packet->data[1] & ~kErrorBit) != operation)
    return false;
  if (operation <= slotOpenWrite)
    return packet->data[2] == request->data[2] && packet->data[3] == request->data[3];
  return packet->data[2] == request->data[2];
}

bool sFactoryFilter(const aPacket* packet, void* reference) {
  const Request* request = static_cast<const Request*>(reference);
  if (!packet || packet->address != request->address || packet->dataSize <= 1 || packet->data[0] != cmdFACTORY)
    return false;
  return (packet->data[1] & ~kErrorBit) == (request->data[1] & kFactoryItemMask);
}

// A module that flags an error without a code must still read as a failure.
int sModuleCode(uint8_t code) { return code != aErrNone ? code : static_cast<int>(aErrUnknown); }

uint8_t sByteSum(const uint8_t* bytes, size_t length) {
  uint8_t sum = 0;
  for (size_t i = 0; i < length; ++i)
    sum = static_cast<uint8_t>(sum + bytes[i]);
  return sum;
}

// Sends the request and waits for the reply its filter accepts. A failed send
// gives its code and no reply; a missing reply gives aErrTimeout.
int sExchange(linkRef ref, const Request& request, aPacketFilter filter, unsigned long timeoutMS, aPacket** reply) {
  *reply = nullptr;
  aPacket* packet = aPacket_CreateWithData(request.address, request.length, request.data);
  if (!packet)
    return aErrResource;
  aErr put = aLink_PutPacket(ref, packet);
  aPacket_Destroy(&packet);
  if (put != aErrNone)
    return put;
  *reply = aLink_AwaitFirst(ref, filter, const_cast<Request*>(&request), timeoutMS);
  return *reply ? static_cast<int>(aErrNone) : static_cast<int>(aErrTimeout);
}

Request sSlotRequest(uint8_t address, uint8_t operation, uint8_t first, uint8_t second, uint8_t length) {
  Request request{};
  request.address = address;
  request.data[0] = cmdSLOT;
  request.data[1] = operation;
  request.data[2] = first;
  request.data[3] = second;
  request.length = length;
  return request;
}

int sSlotValue(linkRef ref, uint8_t address, uint8_t operation, uint8_t store, uint8_t slot, size_t* value) {
  Request request = sSlotRequest(address, operation, store, slot, 4);
  aPacket* reply = nullptr;
  int result = sExchange(ref, request, sSlotFilter, kReplyTimeoutMS, &reply);
  if (result != aErrNone)
    return result;
  if ((reply->data[1] & kErrorBit) && reply->dataSize >= 5)
    result = sModuleCode(reply->data[4]);
  else if (!(reply->data[1] & kErrorBit) && reply->dataSize == 6)
    *value = aUEI_RetrieveShort(&reply->data[4]);
  else
    result = aErrUnknown;
  aPacket_Destroy(&reply);
  return result;
}

uint8_t sOpenSlot(linkRef ref, uint8_t address, uint8_t store, uint8_t slot, uint8_t mode) {
  Request request = sSlotRequest(address, mode, store, slot, 4);
  aPacket* reply = nullptr;
  if (sExchange(ref, request, sSlotFilter, kOpenTimeoutMS, &reply) != aErrNone)
    return kNoHandle;
  uint8_t handle = kNoHandle;
  if (!(reply->data[1] & kErrorBit) && reply->dataSize > 4)
    handle = reply->data[4];
  aPacket_Destroy(&reply);
  return handle;
}

// Close and write replies are exactly 4 data bytes: an error reply carries the
// module's code in byte 3, a write's success the byte sum of its chunk. A
// reply of any other shape, or none, leaves the transfer unconfirmed: only the
// module's answer says the slot took what was written.
int sAcknowledged(linkRef ref, const Request& request, const uint8_t* sum) {
  aPacket* reply = nullptr;
  int result = sExchange(ref, request, sSlotFilter, kReplyTimeoutMS, &reply);
  if (result != aErrNone)
    return result;
  if (reply->dataSize != 4)
    result = aErrIO;
  else if (reply->data[1] & kErrorBit)
    result = sModuleCode(reply->data[3]);
  else if (sum && reply->data[3] != *sum)
    result = aErrIO;
  aPacket_Destroy(&reply);
  return result;
}

int sCloseSlot(linkRef ref, uint8_t address, uint8_t handle) {
  return sAcknowledged(ref, sSlotRequest(address, slotClose, handle, 0, 3), nullptr);
}

int sWriteChunk(linkRef ref, uint8_t address, uint8_t handle, const uint8_t* bytes, size_t n) {
  Request request = sSlotRequest(address, slotWrite, handle, 0, static_cast<uint8_t>(3 + n));
  memcpy(&request.data[3], bytes, n);
  const uint8_t sum = sByteSum(bytes, n);
  return sAcknowledged(ref, request, &sum);
}

// Appends the next chunk of the slot, never beyond `limit`.
int sReadChunk(linkRef ref, uint8_t address, uint8_t handle, uint8_t* buffer, size_t limit, size_t* count) {
  Request request = sSlotRequest(address, slotRead, handle, 0, 3);
  aPacket* reply = nullptr;
  int result = sExchange(ref, request, sSlotFilter, kReplyTimeoutMS, &reply);
  if (result != aErrNone)
    return result;
  if (reply->data[1] & kErrorBit) {
    result = sModuleCode(reply->data[3]);
  } else {
    size_t n = reply->dataSize - 3u;
    if (n > limit - *count)
      n = limit - *count;
    memcpy(buffer + *count, &reply->data[3], n);
    *count += n;
  }
  aPacket_Destroy(&reply);
  return result;
}

Request sFactoryRequest(uint8_t address, uint8_t flags) {
  Request request{};
  request.address = address;
  request.data[0] = cmdFACTORY;
  request.data[1] = flags;
  request.length = 2;
  return request;
}

// The closing packet names the bytes moved; the module confirms or refuses.
int sCloseFactory(linkRef ref, uint8_t address, size_t total) {
  Request request = sFactoryRequest(address, kFactoryClose);
  aUEI_StoreShort(&request.data[2], static_cast<uint16_t>(total));
  request.length = 4;
  aPacket* reply = nullptr;
  int result = sExchange(ref, request, sFactoryFilter, kReplyTimeoutMS, &reply);
  if (result != aErrNone)
    return result;
  if (reply->dataSize == 3 && (reply->data[1] & kErrorBit))
    result = sModuleCode(reply->data[2]);
  aPacket_Destroy(&reply);
  return result;
}

}  // namespace

int Link::storeSlotCapacity(uint8_t address, uint8_t store, uint8_t slot, size_t* capacity) {
  if (!capacity)
    return aErrParam;
  if (!isConnected())
    return aErrConnection;
  return sSlotValue(pImpl->ref, address, slotCapacity, store, slot, capacity);
}

int Link::storeSlotSize(uint8_t address, uint8_t store, uint8_t slot, size_t* size) {
  if (!size)
    return aErrParam;
  if (!isConnected())
    return aErrConnection;
  return sSlotValue(pImpl->ref, address, slotSize, store, slot, size);
}

int Link::loadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, const uint8_t* bytes, size_t length) {
  if (length > 0 && !bytes)
    return aErrParam;
  if (!isConnected())
    return aErrConnection;
  const linkRef ref = pImpl->ref;
  const uint8_t handle = sOpenSlot(ref, address, store, slot, slotOpenWrite);
  if (handle == kNoHandle)
    return aErrMedia;
  int result = aErrNone;
  for (size_t position = 0; result == aErrNone && position < length;) {
    const size_t n = length - position < kSlotChunk ? length - position : kSlotChunk;
    result = sWriteChunk(ref, address, handle, bytes + position, n);
    position += n;
  }
  const int closed = sCloseSlot(ref, address, handle);
  return result != aErrNone ? result : closed;
}

int Link::unloadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, uint8_t* buffer, size_t capacity,
                          size_t* count) {
  if (!count || (capacity > 0 && !buffer))
    return aErrParam;
  *count = 0;
  if (!isConnected())
    return aErrConnection;
  const linkRef ref = pImpl->ref;
  size_t size = 0;
  int result = sSlotValue(ref, address, slotSize, store, slot, &size);
  if (result != aErrNone)
    return result;
  const uint8_t handle = sOpenSlot(ref, address, store, slot, slotOpenRead);
  if (handle == kNoHandle)
    return aErrMedia;
  const size_t amount = size < capacity ? size : capacity;
  size_t read = 0;
  while (result == aErrNone && read < amount)
    result = sReadChunk(ref, address, handle, buffer, amount, &read);
  const int closed = sCloseSlot(ref, address, handle);
  if (result == aErrNone)
    result = closed;
  if (result != aErrNone)
    return result;
  *count = read;
  return size > capacity ? static_cast<int>(aErrOverrun) : static_cast<int>(aErrNone);
}

int Link::getFactoryData(uint8_t address, uint8_t item, uint8_t* buffer, size_t capacity, size_t* count) {
  if (!count || !buffer || item > kFactoryItemMask)
    return aErrParam;
  *count = 0;
  if (!isConnected())
    return aErrConnection;
  const linkRef ref = pImpl->ref;
  size_t read = 0;
  int result = aErrNone;
  for (bool first = true, full = true; result == aErrNone && full; first = false) {
    Request request = sFactoryRequest(address, static_cast<uint8_t>(item | (first ? kFactoryFirst : 0)));
    aPacket* reply = nullptr;
    result = sExchange(ref, request, sFactoryFilter, kReplyTimeoutMS, &reply);
    if (result != aErrNone)
      break;
    const size_t payload = reply->dataSize - 2u;
    // An error reply is no data, whatever room is left.
    if (reply->data[1] & kErrorBit)
      result = sModuleCode(reply->data[2]);
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

int Link::setFactoryData(uint8_t address, uint8_t item, const uint8_t* bytes, size_t length) {
  if ((length > 0 && !bytes) || item > kFactoryItemMask || length > 0xFFFF)
    return aErrParam;
  if (!isConnected())
    return aErrConnection;
  const linkRef ref = pImpl->ref;
  int result = aErrNone;
  for (size_t position = 0; result == aErrNone && position < length;) {
    const size_t n = length - position < kFactoryChunk ? length - position : kFactoryChunk;
    const uint8_t flags = static_cast<uint8_t>(item | kFactoryWrite | (position == 0 ? kFactoryFirst : 0));
    Request request = sFactoryRequest(address, flags);
    memcpy(&request.data[2], bytes + position, n);
    request.length = static_cast<uint8_t>(2 + n);
    aPacket* reply = nullptr;
    result = sExchange(ref, request, sFactoryFilter, kReplyTimeoutMS, &reply);
    if (result != aErrNone)
      break;
    if (reply->data[1] & kErrorBit)
      result = reply->dataSize >= 3 ? sModuleCode(reply->data[2]) : static_cast<int>(aErrUnknown);
    else if (reply->dataSize != 2)
      result = aErrSize;
    aPacket_Destroy(&reply);
    position += n;
  }
  return result == aErrNone ? sCloseFactory(ref, address, length) : result;
}

}  // namespace Kovalink
}  // namespace Tessoral
