// Any byte stream from a module into a link's receiving side: frame assembly,
// the synchronisation recogniser, heartbeat answers, the user filter, the
// packet FIFO and the packet log. The link is fed on this thread (no workers),
// so one input costs microseconds, not a link's start and stop.
//
// Input: an options byte, a command byte, then the bytes from the module.
// The option fields overlap, so that every byte value is a valid choice:
//   bit 0: a user filter takes every packet whose first data byte is the
//          command byte;
//   bit 1: the packet log is on;
//   bit 2: in a ring of 64 to 190 bytes (bits 2-7), so that its oldest records
//          are dropped while it fills; else in a ring that holds every frame
//          of a slice, and then each frame logged must be answered, taken by
//          the filter or queued, in order, with nothing else queued;
//   bits 5-7: the bytes arrive in slices of 1 to 32, the FIFO drained between
//          (no slice holds more frames than the FIFO keeps).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

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

typedef std::vector<uint8_t> Frame;

Frame FrameOf(const aPacket* packet) {
  Frame frame = {packet->address, packet->dataSize};
  frame.insert(frame.end(), packet->data, packet->data + packet->dataSize);
  return frame;
}

struct Setup {
  bool filtering = false;
  uint8_t taken = 0;
};

// Frames the link keeps from the FIFO: heartbeats (answered) and, before
// them, what the filter takes.
bool IsKept(const Frame& frame, const Setup& setup) {
  bool taken = setup.filtering && frame.size() > 2 && frame[2] == setup.taken;
  bool heartbeat = frame.size() == 4 && frame[2] == 0;
  return taken || heartbeat;
}

// What reaches the FIFO is a whole frame that the link did not keep.
std::vector<Frame> Drain(linkRef ref, const Setup& setup) {
  std::vector<Frame> queued;
  aPacket* packet;
  while ((packet = aLink_GetPacket(ref)) != nullptr) {
    Require(aPacket_IsValid(packet) && aPacket_IsComplete(packet));
    Require(packet->address != 0 && (packet->address & 1) == 0);
    Require(packet->dataSize <= aPACKET_MAX_DATA);
    queued.push_back(FrameOf(packet));
    Require(!IsKept(queued.back(), setup));
    aPacket_Destroy(&packet);
  }
  aLinkStatus status = aLink_GetStatus(ref);
  Require(status == aLinkStatusRunning || status == aLinkStatusSyncing);
  return queued;
}

// Every record is a received frame as it came: address, length, data.
std::vector<Frame> ReadLog(linkRef ref) {
  std::vector<Frame> logged;
  uint8_t kind = 0;
  uint8_t bytes[256];
  uint32_t length = sizeof bytes;
  while (aLink_PacketDebug_Read(ref, &kind, &length, bytes) == aErrNone) {
    Require(kind == aPACKETLOG_RECEIVED);
    Require(length >= 2 && length <= aPACKET_MAX_FRAME && bytes[1] + 2u == length);
    Require(bytes[0] != 0 && (bytes[0] & 1) == 0);
    logged.push_back(Frame(bytes, bytes + length));
    length = sizeof bytes;
  }
  return logged;
}

// Nothing lost between assembly and FIFO, nothing made up.
void CompareLogAndQueue(const std::vector<Frame>& logged, const std::vector<Frame>& queued, const Setup& setup) {
  std::vector<Frame> expected;
  for (const Frame& frame : logged)
    if (!IsKept(frame, setup))
      expected.push_back(frame);
  Require(expected == queued);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2)
    return 0;
  const uint8_t options = data[0];
  Setup setup;
  setup.filtering = options & 1;
  setup.taken = data[1];
  const bool logging = options & 2;
  const bool wholeLog = logging && !(options & 4);
  data += 2;
  size -= 2;
  linkRef ref = aLink_CreateFed(aStream_Create(cbGet, cbPut, cbWrite, nullptr, nullptr));
  Require(ref != 0);
  if (setup.filtering)
    Require(aLink_InstallUserPacketFilter(ref, cbTakeCommand, &setup.taken) == aErrNone);
  if (logging) {
    Require(aLink_PacketDebug_SetLogSize(ref, wholeLog ? 4096 : 64 + (options >> 2) * 2) == aErrNone);
    Require(aLink_PacketDebug_Enable(ref) == aErrNone);
  }
  const unsigned shift = options >> 5;
  const size_t slice = size_t{1} << (shift > 5 ? 5 : shift);
  for (size_t at = 0; at < size; at += slice) {
    size_t length = size - at < slice ? size - at : slice;
    Require(aLink_Receive(ref, data + at, length) == aErrNone);
    std::vector<Frame> queued = Drain(ref, setup);
    if (wholeLog)
      CompareLogAndQueue(ReadLog(ref), queued, setup);
  }
  if (logging)
    ReadLog(ref);
  Require(aLink_Destroy(&ref) == aErrNone && ref == 0);
  return 0;
}
