// Any byte stream from a module into a link's receiving side: frame assembly,
// the synchronisation recogniser, heartbeat answers, the user filter, the
// packet FIFO and the packet log. The link is fed on this thread (no workers),
// so one input costs microseconds, not a link's start and stop.
//
// Input: an options byte, a command byte, then the bytes from the module.
// The option fields overlap, so that every byte value is a valid choice:
//   bit 0: a user filter takes every packet whose first data byte is the
//          command byte;
//   bit 1: the packet log is on, in a ring of 64 to 190 bytes (bits 2-7),
//          so that its oldest records are dropped while it fills;
//   bits 5-7: the bytes arrive in slices of 1 << n, the FIFO drained between.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "aLink.h"
#include "aPacketLog.h"
#include "aStream.h"

namespace {

const uint8_t kSyncBurst[12] = {0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0};

void Require(bool condition) {
  if (!condition)
    abort();
}

// A fed link writes nothing but synchronisation bursts: no start frame, and
// its answers stay queued.
aErr cbWrite(const uint8_t* bytes, size_t length, void*) {
  Require(length == sizeof kSyncBurst && memcmp(bytes, kSyncBurst, length) == 0);
  return aErrNone;
}

aErr cbPut(uint8_t, void*) {
  Require(false);
  return aErrNone;
}

aErr cbGet(uint8_t*, void*) { return aErrNotReady; }

bool cbTakeCommand(const aPacket* packet, void* reference) {
  return packet->dataSize > 0 && packet->data[0] == *static_cast<const uint8_t*>(reference);
}

bool IsHeartbeat(const aPacket* packet) { return packet->dataSize == 2 && packet->data[0] == 0; }

// What reaches the FIFO is a whole frame that neither the heartbeat answer
// nor the filter took.
void DrainAndCheck(linkRef ref, bool filtering, uint8_t taken) {
  aPacket* packet;
  while ((packet = aLink_GetPacket(ref)) != nullptr) {
    Require(aPacket_IsValid(packet) && aPacket_IsComplete(packet));
    Require(packet->address != 0 && (packet->address & 1) == 0);
    Require(packet->dataSize <= aPACKET_MAX_DATA);
    Require(!IsHeartbeat(packet));
    Require(!filtering || !cbTakeCommand(packet, &taken));
    aPacket_Destroy(&packet);
  }
  aLinkStatus status = aLink_GetStatus(ref);
  Require(status == aLinkStatusRunning || status == aLinkStatusSyncing);
}

// Every record is a received frame as it came: address, length, data.
void CheckLog(linkRef ref) {
  uint8_t kind = 0;
  uint8_t frame[256];
  uint32_t length = sizeof frame;
  while (aLink_PacketDebug_Read(ref, &kind, &length, frame) == aErrNone) {
    Require(kind == aPACKETLOG_RECEIVED);
    Require(length >= 2 && length <= aPACKET_MAX_FRAME && frame[1] + 2u == length);
    Require(frame[0] != 0 && (frame[0] & 1) == 0);
    length = sizeof frame;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2)
    return 0;
  const uint8_t options = data[0];
  const bool filtering = options & 1;
  const bool logging = options & 2;
  uint8_t taken = data[1];
  data += 2;
  size -= 2;
  linkRef ref = aLink_CreateFed(aStream_Create(cbGet, cbPut, cbWrite, nullptr, nullptr));
  Require(ref != 0);
  if (filtering)
    Require(aLink_InstallUserPacketFilter(ref, cbTakeCommand, &taken) == aErrNone);
  if (logging) {
    Require(aLink_PacketDebug_SetLogSize(ref, 64 + (options >> 2) * 2) == aErrNone);
    Require(aLink_PacketDebug_Enable(ref) == aErrNone);
  }
  const size_t slice = size_t{1} << (options >> 5);
  for (size_t at = 0; at < size; at += slice) {
    size_t length = size - at < slice ? size - at : slice;
    Require(aLink_Receive(ref, data + at, length) == aErrNone);
    DrainAndCheck(ref, filtering, taken);
  }
  if (logging)
    CheckLog(ref);
  Require(aLink_Destroy(&ref) == aErrNone && ref == 0);
  return 0;
}
