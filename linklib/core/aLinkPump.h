// The link engine's pump, as the shared exchange thread (aLinkRun.cpp) uses
// it: a holder of a link's pump moves that link's bytes, as its worker or a
// waiting caller does. Internal to the link core.
#pragma once
#include <stdint.h>

#include "aLink.h"
#include "aPacket.h"
#include "aPacketFifo.h"

struct aLink;

// Pins the running link a reference names: its record stays until
// aLinkPump_Unpin. `pumped`: its bytes may be moved by the exchange thread
// (a caller may hold its pump, and its stream can be polled). aErrParam
// for an unknown reference, aErrConnection for a link that does not run.
aErr aLinkPump_Pin(linkRef ref, aLink** link, bool* pumped);
void aLinkPump_Unpin(aLink* link);
// Keeps the link's worker resting (and other callers waiting on the FIFO)
// while the exchange thread serves the link: +1 when a run starts, which
// also makes a holder waiting for input let go, -1 when it ends, which hands
// the link back to its worker at once.
void aLinkPump_Want(aLink* link, int delta);
// Takes the pump without waiting for it: aErrBusy while another thread
// holds it, aErrConnection (not taken) when the link no longer runs.
aErr aLinkPump_Take(aLink* link);
void aLinkPump_Release(aLink* link);
// With the pump held: takes in what has arrived (false after a stream
// error), writes a queued frame whose pace has come, takes the first packet
// the filter accepts.
bool aLinkPump_TakeIn(aLink* link);
void aLinkPump_WriteQueued(aLink* link);
aPacket* aLinkPump_TakeFirst(aLink* link, aPacketFilter filter, void* reference);
// Writes the frame now when its pace has come and no queued frame goes
// before it; false when it must wait.
bool aLinkPump_WriteIfDue(aLink* link, const aPacket* packet);
// When the next frame may start.
uint64_t aLinkPump_NextSlotUS(aLink* link);
// Waits for the slot as a lone pacing thread does (watching the clock near
// it), or wakes near it without watching the clock.
void aLinkPump_Pace(aLink* link, uint64_t deadlineUS);
void aLinkPump_WakeNear(aLink* link, uint64_t deadlineUS);
// A descriptor to poll for input; -1 when a read should be tried at once.
int aLinkPump_Descriptor(aLink* link);
// The link still runs (a stop or an error ends a run on it).
bool aLinkPump_Running(aLink* link);
