#include "StoreSlots.h"

#include <string.h>

#include "Link.h"
#include "ModuleCommands.h"
#include "RawExchange.h"
#include "aBytes.h"

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
const unsigned long kOpenTimeoutMS = 3000;

bool sSlotFilter(const aPacket* packet, void* reference) {
  const RawRequest* request = static_cast<const RawRequest*>(reference);
  if (!packet || packet->address != request->address || packet->dataSize <= 3 || packet->data[0] != cmdSLOT)
    return false;
  const uint8_t operation = request->data[1];
  if ((packet->data[1] & ~kErrorBit) != operation)
    return false;
  if (operation <= slotOpenWrite)
    return packet->data[2] == request->data[2] && packet->data[3] == request->data[3];
  return packet->data[2] == request->data[2];
}

RawRequest sSlotRequest(uint8_t address, uint8_t operation, uint8_t first, uint8_t second, uint8_t length) {
  RawRequest request{};
  request.address = address;
  request.data[0] = cmdSLOT;
  request.data[1] = operation;
  request.data[2] = first;
  request.data[3] = second;
  request.length = length;
  return request;
}

aErr sSlotValue(linkRef ref, uint8_t address, uint8_t operation, uint8_t store, uint8_t slot, size_t* value) {
  RawRequest request = sSlotRequest(address, operation, store, slot, 4);
  aPacket* reply = nullptr;
  aErr result = rawExchange(ref, request, sSlotFilter, kReplyTimeoutMS, &reply);
  if (result != aErrNone)
    return result;
  if ((reply->data[1] & kErrorBit) && reply->dataSize >= 5)
    result = moduleErrorCode(reply->data[4]);
  else if (!(reply->data[1] & kErrorBit) && reply->dataSize == 6)
    *value = aBytes_GetBE16(&reply->data[4]);
  else
    result = aErrUnknown;
  aPacket_Destroy(&reply);
  return result;
}

uint8_t sOpenSlot(linkRef ref, uint8_t address, uint8_t store, uint8_t slot, uint8_t mode) {
  RawRequest request = sSlotRequest(address, mode, store, slot, 4);
  aPacket* reply = nullptr;
  if (rawExchange(ref, request, sSlotFilter, kOpenTimeoutMS, &reply) != aErrNone)
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
aErr sAcknowledged(linkRef ref, const RawRequest& request, const uint8_t* sum) {
  aPacket* reply = nullptr;
  aErr result = rawExchange(ref, request, sSlotFilter, kReplyTimeoutMS, &reply);
  if (result != aErrNone)
    return result;
  if (reply->dataSize != 4)
    result = aErrIO;
  else if (reply->data[1] & kErrorBit)
    result = moduleErrorCode(reply->data[3]);
  else if (sum && reply->data[3] != *sum)
    result = aErrIO;
  aPacket_Destroy(&reply);
  return result;
}

aErr sCloseSlot(linkRef ref, uint8_t address, uint8_t handle) {
  return sAcknowledged(ref, sSlotRequest(address, slotClose, handle, 0, 3), nullptr);
}

aErr sWriteChunk(linkRef ref, uint8_t address, uint8_t handle, const uint8_t* bytes, size_t n) {
  RawRequest request = sSlotRequest(address, slotWrite, handle, 0, static_cast<uint8_t>(3 + n));
  memcpy(&request.data[3], bytes, n);
  const uint8_t sum = byteSum(bytes, n);
  return sAcknowledged(ref, request, &sum);
}

// Appends the next chunk of the slot, never beyond `limit`.
aErr sReadChunk(linkRef ref, uint8_t address, uint8_t handle, uint8_t* buffer, size_t limit, size_t* count) {
  RawRequest request = sSlotRequest(address, slotRead, handle, 0, 3);
  aPacket* reply = nullptr;
  aErr result = rawExchange(ref, request, sSlotFilter, kReplyTimeoutMS, &reply);
  if (result != aErrNone)
    return result;
  if (reply->data[1] & kErrorBit) {
    result = moduleErrorCode(reply->data[3]);
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

}  // namespace

aErr StoreSlots::capacity(uint8_t address, uint8_t store, uint8_t slot, size_t* capacity) {
  if (!capacity)
    return aErrParam;
  if (!link.isConnected())
    return aErrConnection;
  return sSlotValue(link.getLinkRef(), address, slotCapacity, store, slot, capacity);
}

aErr StoreSlots::size(uint8_t address, uint8_t store, uint8_t slot, size_t* size) {
  if (!size)
    return aErrParam;
  if (!link.isConnected())
    return aErrConnection;
  return sSlotValue(link.getLinkRef(), address, slotSize, store, slot, size);
}

aErr StoreSlots::load(uint8_t address, uint8_t store, uint8_t slot, const uint8_t* bytes, size_t length) {
  if (length > 0 && !bytes)
    return aErrParam;
  if (!link.isConnected())
    return aErrConnection;
  const linkRef ref = link.getLinkRef();
  const uint8_t handle = sOpenSlot(ref, address, store, slot, slotOpenWrite);
  if (handle == kNoHandle)
    return aErrMedia;
  aErr result = aErrNone;
  for (size_t position = 0; result == aErrNone && position < length;) {
    const size_t n = length - position < kSlotChunk ? length - position : kSlotChunk;
    result = sWriteChunk(ref, address, handle, bytes + position, n);
    position += n;
  }
  const aErr closed = sCloseSlot(ref, address, handle);
  return result != aErrNone ? result : closed;
}

aErr StoreSlots::unload(uint8_t address, uint8_t store, uint8_t slot, uint8_t* buffer, size_t capacity,
                       size_t* count) {
  if (!count || (capacity > 0 && !buffer))
    return aErrParam;
  *count = 0;
  if (!link.isConnected())
    return aErrConnection;
  const linkRef ref = link.getLinkRef();
  size_t stored = 0;
  aErr result = sSlotValue(ref, address, slotSize, store, slot, &stored);
  if (result != aErrNone)
    return result;
  const uint8_t handle = sOpenSlot(ref, address, store, slot, slotOpenRead);
  if (handle == kNoHandle)
    return aErrMedia;
  const size_t amount = stored < capacity ? stored : capacity;
  size_t read = 0;
  while (result == aErrNone && read < amount)
    result = sReadChunk(ref, address, handle, buffer, amount, &read);
  const aErr closed = sCloseSlot(ref, address, handle);
  if (result == aErrNone)
    result = closed;
  if (result != aErrNone)
    return result;
  *count = read;
  return stored > capacity ? aErrOverrun : aErrNone;
}

}  // namespace Kovalink
}  // namespace Tessoral
