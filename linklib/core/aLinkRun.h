// Runs of request/reply exchanges on a link, moved by one thread of the
// process for all the links that have a run going: many links exchanging at
// once then share that thread's wake-ups instead of each waking a thread of
// its own for every frame.
#pragma once
#include "aLink.h"
#include "aPacket.h"
#include "aPacketFifo.h"

typedef struct aLinkExchanges {
  // The next request, or nullptr when the run is over; the run destroys it.
  aPacket* (*request)(void* context);
  // Accepts the packets that answer the request in flight (given `context`).
  aPacketFilter answers;
  // Hands over the answer, or nullptr when none came within replyTimeoutMS;
  // the answer is destroyed after the call.
  void (*reply)(void* context, const aPacket* answer);
  // Called on the caller's thread about every tickMS while the run goes
  // (progress, for instance); may be null.
  void (*tick)(void* context);
  void* context;
  unsigned long replyTimeoutMS;
  unsigned long tickMS;
} aLinkExchanges;

// Runs the exchanges and returns when `request` ends the run (aErrNone), or
// when the link stops or fails first (aErrConnection; a request in flight is
// then answered with nullptr). Requests go out at the link's pace, each once
// the previous one is answered or timed out. On a link whose streams take a
// caller's wait (sockets, serial lines) `request`, `answers` and `reply` run
// on the shared exchange thread, one at a time; on others, on the caller's.
// aErrParam for an unknown reference or a missing operation.
aErr aLink_RunExchanges(linkRef ref, const aLinkExchanges* exchanges);
