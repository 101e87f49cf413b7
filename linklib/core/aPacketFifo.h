// Bounded packet FIFOs addressed by 64-bit ids, found without a lock shared between FIFOs.
#pragma once
#include <stdint.h>

#include "aError.h"
#include "aPacket.h"

typedef uint64_t aPacketFifoId;

// At most this many packets in one FIFO; the oldest make room for new ones.
#define aPACKETFIFO_LIMIT 20
#define aPACKETFIFO_VALID 0xFEED

// Returns true for packets the caller is after. Never changes the packet.
typedef bool (*aPacketFilter)(const aPacket* packet, void* reference);

// Returns a new id (never reused), 0 when memory is exhausted.
aPacketFifoId aPacketFifo_Create(void);
// Wakes every waiter (they return nothing), frees the FIFO, clears the id.
// aErrParam for no id, aErrNotFound for an unknown one.
aErr aPacketFifo_Destroy(aPacketFifoId* id);
// Number of queued packets; -1 for an unknown or dying FIFO.
int64_t aPacketFifo_GetLength(aPacketFifoId id);

// Queues a copy. When the count then exceeds the limit the oldest packets go.
aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet);
// The packets returned below are new copies; release with aPacket_Destroy.
aPacket* aPacketFifo_Get(aPacketFifoId id);
aPacket* aPacketFifo_Await(aPacketFifoId id, unsigned long timeoutMS);
aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketFilter filter, void* reference);
aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketFilter filter, void* reference,
                                unsigned long timeoutMS);
// Removes every packet the filter accepts; returns how many.
uint32_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketFilter filter, void* reference);
