// The link engine: a packet link over a byte stream to one module, with two
// worker threads, bounded packet FIFOs, heartbeat answers and resynchronisation.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "aError.h"
#include "aPacket.h"
#include "aPacketFifo.h"
#include "aStream.h"

typedef uint32_t linkRef;

#define aLINK_VALID 0xCEED

typedef enum {
  aLinkStatusStopped = 0,
  aLinkStatusStarting = 1,
  aLinkStatusRunning = 2,
  aLinkStatusStopping = 3,
  aLinkStatusSyncing = 4,
  aLinkStatusNoStream = 5,
  aLinkStatusIOError = 6,
  aLinkStatusFailed = 8,
} aLinkStatus;

// Control frames (address 0xAF) and the address query (AD 00).
#define aLINK_CONTROL_ADDRESS 0xAF
#define aLINK_QUERY_ADDRESS 0xAD

// Creators return the reference of a running link, or 0. References grow with
// each link made and name nothing once their link is destroyed (until 2^32
// links later). A caller that looks a link up must not destroy it while
// another thread still uses the reference for the filter and packet-log
// calls; packet, status and await calls are safe against a concurrent destroy.
// A second USB link to the same serial number shares the first one's reference.
linkRef aLink_CreateUSB(uint32_t serialNumber);
// address: IPv4 in network byte order.
linkRef aLink_CreateTCPIP(uint32_t address, uint16_t port);
// The link takes ownership of the stream, also when creation fails.
linkRef aLink_Create(aStream* stream);
// A link without workers: its receiving side runs on the caller's thread,
// byte by byte, through aLink_Receive (frame assembly, synchronisation,
// heartbeat answers and the user filter, as for bytes read from a stream).
// Synchronisation bursts are written to the stream at once; heartbeat answers
// and packets put for writing stay queued, since nothing writes them.
// Received packets are taken with aLink_GetPacket, aLink_GetFirst or
// aLink_DrainPackets (the awaits are for links with workers). For
// replaying captured traffic and for exercising the receiving side alone.
// The link takes ownership of the stream, also when creation fails.
linkRef aLink_CreateFed(aStream* stream);
// aErrBusy for a link with workers (its bytes come from its stream), aErrParam
// for an unknown reference. Not to be called from two threads at once.
aErr aLink_Receive(linkRef ref, const uint8_t* bytes, size_t length);
// Drops one use; the last use stops and frees the link. Clears *ref always.
aErr aLink_Destroy(linkRef* ref);
// Stops the link, re-opens its stream and starts it again (up to 20 attempts,
// 100 ms apart). aErrBusy at once when another thread holds the link table;
// aErrParam for a link over a caller's stream, which cannot be re-opened and
// is left as it was. After 20 failed attempts the link is stopped, has no
// stream, reports aLinkStatusNoStream and can only be destroyed.
aErr aLink_Reset(linkRef ref);
// aLinkStatusNoStream for an unknown reference.
aLinkStatus aLink_GetStatus(linkRef ref);
// How often the link has lost its module so far: stream errors, resets and
// reconnections the stream made on its own. A module that goes away and is
// back at once leaves the status as it was but moves this count. 0 for an
// unknown reference.
uint32_t aLink_GetDropCount(linkRef ref);

// Queues a copy of the packet for writing. On a link whose caller moves its
// bytes (sockets, serial lines) a frame with none queued before it is instead
// written on the caller's thread, once its pace allows: the call may then
// wait up to one pace (1 ms) for the frame's slot.
aErr aLink_PutPacket(linkRef ref, const aPacket* packet);
// Packets queued and not yet taken for writing (0 for an unknown reference). A
// caller that puts many packets at once watches it: the queue, like every packet
// FIFO, drops all it holds past 20 packets.
uint32_t aLink_GetOutgoingLength(linkRef ref);
// Packets handed out are new copies; release them with aPacket_Destroy.
aPacket* aLink_GetPacket(linkRef ref);
aPacket* aLink_AwaitPacket(linkRef ref, unsigned long timeoutMS);
aPacket* aLink_GetFirst(linkRef ref, aPacketFilter filter, void* reference);
// Returns nothing at once when the link is neither running nor just starting
// (e.g. syncing, stopped, failed).
aPacket* aLink_AwaitFirst(linkRef ref, aPacketFilter filter, void* reference, unsigned long timeoutMS);
// Returns the number of packets removed (0 for an unknown reference).
uint32_t aLink_DrainPackets(linkRef ref, aPacketFilter filter, void* reference);
// Runs on the receiving thread for every complete packet; returning true
// consumes the packet (no heartbeat answer, not queued). Null removes it.
// It must return quickly and must not call aLink_ functions: a reset holds
// the link and the link table while it waits for the receiving thread.
aErr aLink_InstallUserPacketFilter(linkRef ref, aPacketFilter filter, void* reference);

// Packet log (debug ring of frames sent (kind 1), received (kind 2) and notes (kind 3)).
// Size in bytes, before Enable; 0 or negative means the default of 65,536.
aErr aLink_PacketDebug_SetLogSize(linkRef ref, int64_t size);
aErr aLink_PacketDebug_Enable(linkRef ref);
aErr aLink_PacketDebug_Disable(linkRef ref);
// True while the log exists and is enabled (the reader stops when it is not).
bool aLink_PacketDebug_IsEnabled(linkRef ref);
// On entry *length is the buffer's capacity; on return the record's length.
aErr aLink_PacketDebug_Read(linkRef ref, uint8_t* kind, uint32_t* length, uint8_t* buffer);
// length at most 255.
aErr aLink_PacketDebug_Write(linkRef ref, uint8_t kind, uint32_t length, const uint8_t* bytes);
// For the log's reader: waits, at most timeoutMS, until a record has been made
// since the previous call returned, or the log was disabled; aErrTimeout when
// neither happened.
aErr aLink_PacketDebug_Await(linkRef ref, unsigned long timeoutMS);
