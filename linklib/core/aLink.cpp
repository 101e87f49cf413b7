// The link engine. Lock order: the link table lock, a link's entry lock, its
// pump, its write mutex, then one FIFO's mutex. A link is found under its
// entry's lock alone, taken for reading and let go before any other (a FIFO
// too is found without a shared lock). The log mutex, the filter mutex and the
// worker's rest mutex of a link are each taken alone, as is the exchange
// thread's list of runs (aLinkRun.cpp), which takes pumps without waiting.
#include "aLink.h"

#include <atomic>
#include <errno.h>
#include <new>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "aLinkPump.h"
#include "aLinkSpec.h"
#include "aMutex.h"
#include "aPacketLog.h"
#include "aTime.h"

#define aLINK_IDENTIFIER_STREAM 0xFFFFFFFFu
#define aLINK_RESET_ATTEMPTS 20
#define aLINK_RESET_PAUSE_MS 100
#define aLINK_ERROR_PAUSE_MS 100
// The pump's holder waits for input at most this long at a time: the link's
// worker when its stream can be interrupted (a put, a stop or a caller ends
// the wait at once), else the worker and callers alike. The bound is how long
// a stop or a queued packet may wait on a stream that cannot be interrupted.
#define aLINK_IDLE_WAIT_MS 250
#define aLINK_READ_WAIT_MS 20
// How long the out-pipe thread of a link without the pump waits for work; a
// stop wakes it at once with its frame.
#define aLINK_OUT_WAIT_MS 100
// The worker looks this often whether a caller that was moving the link's
// bytes has left it without saying so; while it keeps finding callers at it
// (frames flowing), it looks less and less often, down to the longest rest,
// which stays well below the shortest heartbeat interval a module has.
#define aLINK_REST_MS 20
#define aLINK_REST_MAX_MS 60
// Modules rely on frames starting at least this far apart. The guard covers
// reading the clock in whole microseconds and the few microseconds by which
// the time a frame takes to leave varies from one write to the next.
#define aLINK_FRAME_PACE_US 1000
#define aLINK_FRAME_GUARD_US 4
#define aLINK_SYNC_PAUSE_MS 2
// A frame that starts within this long of the earliest moment it could have
// means frames are flowing (a caller held up for a while included).
#define aLINK_FLOW_WINDOW_US 20000
// Between two looks at a starting link's status.
#define aLINK_START_PAUSE_US 100

// Members start from their initialisers (value-initialised at creation);
// the pthread objects are set up by sCreate.
//
// The link's I/O (taking in bytes, answering heartbeats, writing queued frames
// at their pace) is done by whichever thread holds the pump: the link's worker
// thread, or a caller waiting for a packet, which so gets its reply without
// another thread having to wake it. A put with nothing queued before it
// writes its frame on the caller's thread once the pace allows. Lock order:
// the pump, then the write mutex, then one FIFO's mutex.
struct aLink {
  uint16_t check = 0;
  linkRef ref = 0;
  std::atomic<bool> run{false};  // the worker keeps running and frames may be written
  std::atomic<int> status{0};
  // Times the link lost its module: stream errors and resets. Reconnections the
  // stream made on its own are added when the stream goes.
  std::atomic<uint32_t> drops{0};
  std::atomic<aPacketFifoId> inFifo{0};
  std::atomic<aPacketFifoId> outFifo{0};
  aPacket* assembly = nullptr;
  pthread_t inThread{};
  std::atomic<bool> inStarted{false};
  // Streams whose waits can be interrupted (sockets, serial lines) have the
  // pump; the others, whose reads may block for a while (USB), keep a reading
  // and a writing thread of their own: the in-pipe thread above and this one.
  std::atomic<bool> pumped{false};
  pthread_t outThread{};
  std::atomic<bool> outStarted{false};
  std::atomic<bool> outRun{false};  // the out-pipe thread keeps running (cleared after the in-pipe is joined)
  aStream* stream = nullptr;
  // Bytes come from aLink_Receive on the caller's thread instead of a worker.
  bool callerFed = false;
  std::atomic<int> syncState{0};
  std::atomic<uint8_t> syncAddress{0};
  std::atomic<aPacketLog*> log{nullptr};
  std::atomic<aMutex*> logMutex{nullptr};
  int64_t logSize = 0;
  // Held while the user filter runs, so that once an install returns the old
  // filter is no longer in use.
  pthread_mutex_t filterMutex;
  aPacketFilter userFilter = nullptr;
  void* filterReference = nullptr;
  pthread_mutex_t pumpMutex;
  // Callers blocked on the pump: the worker leaves it to them.
  std::atomic<int> pumpWanted{0};
  // The holder waits for input with no deadline of its own: a packet queued
  // meanwhile must interrupt the stream's wait.
  std::atomic<bool> pumpIdle{false};
  // Where the worker rests while a caller holds the pump.
  pthread_mutex_t restMutex;
  pthread_cond_t restCond;
  bool restNudged = false;
  // Callers between a look-up and their last use of the record; destroy and
  // reset wait for them before the parts go.
  std::atomic<int> pins{0};
  // Frames are written under it, by the pump's holder and by puts; it guards
  // the pacing state below. Synchronisation bursts take it too, so a frame is
  // never interleaved with another write.
  pthread_mutex_t writeMutex;
  // Counts records made and disables, so that the log's reader can sleep
  // until there is something to read.
  pthread_mutex_t logEventMutex;
  pthread_cond_t logEvent;
  uint64_t logEvents = 0;
  uint64_t logEventsSeen = 0;
  // Monotonic time before which the next frame may not start, and the
  // lateness of the pacing wake-ups learnt so far.
  uint64_t nextFrameUS = 0;
  uint32_t paceMarginUS = 0;
  // The quickest frame write seen on this link.
  uint64_t quickestWriteUS = UINT64_MAX;
  // The last frame followed the one before closely: frames are flowing,
  // and what arrives meanwhile is taken in when the next frame is due (one
  // wake-up a frame) rather than as it comes.
  std::atomic<bool> flowing{false};
  // The last reply a caller waited for came only after the next frame's slot
  // (a busy module, or one whose host is short of time): waiting for the slot
  // first would then only cost a wake-up more, so input is waited for at once.
  std::atomic<bool> repliesLate{false};
  // A frame went out and nothing has been taken in since: its reply cannot
  // have been read, and has seldom arrived yet, so a caller about to wait for
  // it waits for input before asking the stream (one system call less a frame).
  std::atomic<bool> sentSinceInput{false};
};

// A link's place in the table. Entries are never freed: one whose link is
// gone is kept, its lock still initialised, and carries a later link. So a
// look-up may lock whatever entry a reference leads to without a shared lock,
// and learn under that entry's lock whether it still names that link.
// Entries start on a cache line and fill whole lines: the callers of
// different links never write to one line.
typedef struct alignas(64) _linkEntry {
  // Taken for reading by a look-up, for writing by whoever changes what the
  // entry names (creating, destroying, resetting the link).
  pthread_rwlock_t lock;
  linkRef ref = 0;  // 0 while the entry carries no link
  aLink* link = nullptr;
  // Under the table lock: where the link leads, its users, and the next entry
  // of the table, or of the spare entries.
  uint32_t identifier = 0;
  uint32_t port = 0;
  linkType type = linkTypeInvalid;
  int16_t useCount = 0;
  struct _linkEntry* next = nullptr;
} _linkEntry;

// The table's lock: creating, sharing, destroying and resetting links take it;
// a look-up never does. Nobody takes it twice.
static pthread_mutex_t sTableLock = PTHREAD_MUTEX_INITIALIZER;
static _linkEntry* sTable = nullptr;
static _linkEntry* sSpares = nullptr;
// References grow by one with each link made, as they always have: a link's
// reference names its slot (the reference modulo the slots), which points to
// its entry, so a look-up is an index and one atomic load. A reference whose
// slot is taken by a link still open is passed over, and after the last of
// 2^32 they start again at 1: no two open links share a reference or a slot,
// and a stale reference names nothing for 4 billion links more. The slots
// bound the links open at once (16384), far beyond the descriptors a process
// usually has.
#define aLINK_SLOTS (1u << 14)
static std::atomic<_linkEntry*> sSlots[aLINK_SLOTS];
static linkRef sNextRef = 1;
// Serialises creation of a link's packet log between callers.
static pthread_mutex_t sLogCreateMutex = PTHREAD_MUTEX_INITIALIZER;

aErr aLink_Init(aLink* link, linkRef ref, aStream* stream);
aErr aLink_Start(aLink* link);
aErr aLink_Stop(aLink* link);
aErr aLink_ResetLink(_linkEntry* entry);

// --- Table (caller holds the table lock, but for sLockEntry). ---

static _linkEntry* sSlotEntry(linkRef ref) {
  return ref ? sSlots[ref % aLINK_SLOTS].load(std::memory_order_acquire) : nullptr;
}

static _linkEntry* sLookupEntryByID(linkRef ref) {
  _linkEntry* e = sSlotEntry(ref);
  return e && e->ref == ref ? e : nullptr;
}

// Finds the link a reference names and returns its entry locked for reading,
// the only lock taken; nullptr when the reference names no link (any more).
// The caller lets go before taking any other lock.
static _linkEntry* sLockEntry(linkRef ref) {
  _linkEntry* e = sSlotEntry(ref);
  if (!e)
    return nullptr;
  pthread_rwlock_rdlock(&e->lock);
  if (e->ref == ref && e->link && e->link->check == aLINK_VALID)
    return e;
  pthread_rwlock_unlock(&e->lock);
  return nullptr;
}

// Links are shared only between holders of the same transport and address:
// a USB serial number must never pick up a TCP/IP link whose address happens
// to have the same value, nor two TCP ports on one host share a link.
static _linkEntry* sLookupEntryByIdentifier(linkType type, uint32_t identifier, uint32_t port) {
  for (_linkEntry* e = sTable; e; e = e->next)
    if (e->type == type && e->identifier == identifier && e->port == port)
      return e;
  return nullptr;
}

static void sChangeUseCount(_linkEntry* entry, int delta) { entry->useCount = static_cast<int16_t>(entry->useCount + delta); }

// The next reference whose slot is free; 0 when every slot holds an open link.
static linkRef sTakeRef(void) {
  for (uint32_t tried = 0; tried < aLINK_SLOTS; tried++) {
    linkRef ref = sNextRef++;
    if (sNextRef == 0)
      sNextRef = 1;
    if (!sSlots[ref % aLINK_SLOTS].load(std::memory_order_relaxed))
      return ref;
  }
  return 0;
}

static void sPutSpare(_linkEntry* entry) {
  entry->next = sSpares;
  sSpares = entry;
}

// A spare entry, or a new one.
static _linkEntry* sTakeEntry(void) {
  _linkEntry* e = sSpares;
  if (e) {
    sSpares = e->next;
    e->next = nullptr;
    return e;
  }
  e = new (std::nothrow) _linkEntry();
  if (!e)
    return nullptr;
  // Writers go first, so that a destroy or reset is not starved by a busy
  // link's look-ups; nobody takes an entry's lock twice.
  pthread_rwlockattr_t attr;
  pthread_rwlockattr_init(&attr);
  pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  pthread_rwlock_init(&e->lock, &attr);
  pthread_rwlockattr_destroy(&attr);
  return e;
}

static void sInitLinkLocks(aLink* link) {
  pthread_mutex_init(&link->filterMutex, nullptr);
  pthread_mutex_init(&link->writeMutex, nullptr);
  pthread_mutex_init(&link->pumpMutex, nullptr);
  pthread_mutex_init(&link->restMutex, nullptr);
  pthread_mutex_init(&link->logEventMutex, nullptr);
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&link->logEvent, &attr);
  pthread_cond_init(&link->restCond, &attr);
  pthread_condattr_destroy(&attr);
}

static void sDestroyLinkLocks(aLink* link) {
  pthread_mutex_destroy(&link->filterMutex);
  pthread_mutex_destroy(&link->writeMutex);
  pthread_mutex_destroy(&link->pumpMutex);
  pthread_mutex_destroy(&link->restMutex);
  pthread_mutex_destroy(&link->logEventMutex);
  pthread_cond_destroy(&link->logEvent);
  pthread_cond_destroy(&link->restCond);
}

static _linkEntry* sCreate(uint32_t identifier, uint32_t port, linkType type) {
  linkRef ref = sTakeRef();
  _linkEntry* e = ref ? sTakeEntry() : nullptr;
  aLink* link = e ? new (std::nothrow) aLink() : nullptr;
  if (!link) {
    if (e)
      sPutSpare(e);
    return nullptr;
  }
  sInitLinkLocks(link);
  link->ref = ref;
  e->identifier = identifier;
  e->port = port;
  e->type = type;
  e->useCount = 0;
  pthread_rwlock_wrlock(&e->lock);
  e->ref = ref;
  e->link = link;
  pthread_rwlock_unlock(&e->lock);
  sSlots[ref % aLINK_SLOTS].store(e, std::memory_order_release);
  e->next = sTable;
  sTable = e;
  return e;
}

// Takes the entry out of the table and returns its link: from here on the
// reference names nothing, and the entry may carry another link at once.
static aLink* sExtractEntry(_linkEntry* entry) {
  for (_linkEntry** p = &sTable; *p; p = &(*p)->next) {
    if (*p == entry) {
      *p = entry->next;
      break;
    }
  }
  sSlots[entry->ref % aLINK_SLOTS].store(nullptr, std::memory_order_release);
  // Waits out the look-ups under way; later ones find no link.
  pthread_rwlock_wrlock(&entry->lock);
  aLink* link = entry->link;
  entry->ref = 0;
  entry->link = nullptr;
  pthread_rwlock_unlock(&entry->lock);
  sPutSpare(entry);
  return link;
}

static aLink* sGetLink(linkRef ref) {
  _linkEntry* e = sLockEntry(ref);
  if (!e)
    return nullptr;
  aLink* link = e->link;
  pthread_rwlock_unlock(&e->lock);
  return link;
}

// --- Frames to the stream. ---

static uint8_t sFrameBytes(const aPacket* packet, uint8_t* frame) {
  uint8_t length = packet->dataSize > aPACKET_MAX_DATA ? aPACKET_MAX_DATA : packet->dataSize;
  frame[0] = packet->address;
  frame[1] = length;
  memcpy(frame + 2, packet->data, length);
  return static_cast<uint8_t>(length + 2);
}

static void sSignalLogEvent(aLink* link) {
  pthread_mutex_lock(&link->logEventMutex);
  link->logEvents++;
  pthread_cond_signal(&link->logEvent);
  pthread_mutex_unlock(&link->logEventMutex);
}

static void sLogPacket(aLink* link, uint8_t kind, const aPacket* packet) {
  aPacketLog* log = link->log.load(std::memory_order_acquire);
  if (!log)
    return;
  uint8_t frame[aPACKET_MAX_FRAME];
  uint8_t length = sFrameBytes(packet, frame);
  aMutex* mutex = link->logMutex.load(std::memory_order_acquire);
  aMutex_Lock(mutex);
  aPacketLog_Record(log, kind, length, frame);
  aMutex_Unlock(mutex);
  sSignalLogEvent(link);
}

// Threads of this process now waiting for a frame's slot. Watching the clock
// for the last few microseconds of a wait keeps one link's frames on time,
// but with several links pacing at once the cores are better spent on their
// work: only a thread that paces alone watches the clock.
static std::atomic<int> sPacing{0};
// A caller's thread paces its link's frames too: its sleeps are then made as
// precise as the engine's own (a sleep may otherwise end up to 50 us late).
static thread_local bool tPreciseSleeps = false;

// `near`: wake near the deadline without watching the clock (see sWakeNear).
// A thread that would not watch the clock sleeps right up to the deadline:
// waking early would only have its put sleep a second time.
static void sPaceOrWake(aLink* link, uint64_t deadlineUS, bool near) {
  if (!tPreciseSleeps) {
    aTime_SetPreciseSleeps();
    tPreciseSleeps = true;
  }
  // The thread pacing alone has the link's margin to itself; acquiring and
  // releasing the count orders its use after the previous such thread's.
  if (sPacing.fetch_add(1, std::memory_order_acquire) != 0)
    aTime_SleepUntilMonotonicUS(deadlineUS);
  else if (near)
    aTime_WakeNearMonotonicUS(deadlineUS, &link->paceMarginUS);
  else
    aTime_PaceUntilMonotonicUS(deadlineUS, &link->paceMarginUS);
  sPacing.fetch_sub(1, std::memory_order_release);
}

static void sPace(aLink* link, uint64_t deadlineUS) { sPaceOrWake(link, deadlineUS, false); }

// A caller waiting for its reply wakes near its link's next slot rather than
// exactly at it: it takes the reply in and makes its next frame while the
// pace of that frame's put waits out the rest, so that work neither lengthens
// the gap between frames nor adds to the time spent watching the clock.
static void sWakeNear(aLink* link, uint64_t deadlineUS) { sPaceOrWake(link, deadlineUS, true); }

// Writes one frame now; the caller holds the write mutex and has waited out
// the pace. Paced by deadline: the next frame starts one pace after this one
// started, so the time spent waking and queueing is not added to the pace. A
// write costs some time after its frame has left (on a local network the
// receiving side's processing runs inside it); what a write takes beyond the
// quickest write seen may instead have held the frame back before it left, so
// that much is added: a frame delayed half-way through its write still leaves
// a full pace before the next one.
static void sWriteFrameNow(aLink* link, const aPacket* packet) {
  uint8_t frame[aPACKET_MAX_FRAME];
  uint8_t length = sFrameBytes(packet, frame);
  uint64_t startUS = aTime_GetMonotonicUS();
  aStream_Write(link->stream, frame, length);
  uint64_t tookUS = aTime_GetMonotonicUS() - startUS;
  if (tookUS < link->quickestWriteUS)
    link->quickestWriteUS = tookUS;
  link->flowing = startUS < link->nextFrameUS + aLINK_FLOW_WINDOW_US;
  link->sentSinceInput = true;
  link->nextFrameUS = startUS + aLINK_FRAME_PACE_US + aLINK_FRAME_GUARD_US + (tookUS - link->quickestWriteUS);
}

// Waits out the pace, then writes (start and stop frames, and what a stop drains).
static void sWritePacedFrame(aLink* link, const aPacket* packet) {
  pthread_mutex_lock(&link->writeMutex);
  sPace(link, link->nextFrameUS);
  sWriteFrameNow(link, packet);
  pthread_mutex_unlock(&link->writeMutex);
}

static aPacket* sControlFrame(uint8_t value) { return aPacket_CreateWithData(aLINK_CONTROL_ADDRESS, 1, &value); }

// --- Synchronisation. ---

static void sStartSync(aLink* link) {
  static const uint8_t kQueries[12] = {0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0};
  // The pause lets a module's stream go quiet; fed bytes have no module behind them.
  if (!link->callerFed)
    aTime_MSSleep(aLINK_SYNC_PAUSE_MS);
  link->status = aLinkStatusSyncing;
  link->syncState = 1;
  aPacket_Reset(link->assembly);
  pthread_mutex_lock(&link->writeMutex);
  aErr err = aStream_Write(link->stream, kQueries, sizeof(kQueries));
  pthread_mutex_unlock(&link->writeMutex);
  if (!err)
    link->syncState = 2;
}

// Waits for two empty frames from one address: A 0 A 0.
static void sSyncByte(aLink* link, uint8_t byte) {
  switch (link->syncState.load()) {
    case 0: return;
    case 1:
      // The byte that triggers a new burst is judged as the first byte of an
      // answer. Dropping it would leave the recogniser one byte out of step
      // with a module's stream of "A 0" answers, and every answer would start
      // yet another burst, for ever.
      sStartSync(link);
      if (link->syncState.load() == 2)
        sSyncByte(link, byte);
      return;
    case 2:
      if (byte != 0 && (byte & 1) == 0) {
        link->syncAddress = byte;
        link->syncState = 3;
      } else {
        link->syncState = 1;
      }
      return;
    case 3: link->syncState = byte == 0 ? 4 : 1; return;
    case 4: link->syncState = byte == link->syncAddress.load() ? 5 : 1; return;
    case 5:
      if (byte == 0) {
        link->syncState = 0;
        link->status = aLinkStatusRunning;
      } else {
        link->syncState = 1;
      }
      return;
    default: link->syncState = 1; return;
  }
}

// --- Receiving. ---

static bool sHandleHBBackChannel(aLink* link, const aPacket* packet) {
  if (packet->dataSize != 2 || packet->data[0] != 0)
    return false;
  uint8_t answer[2] = {0, static_cast<uint8_t>(packet->data[1] + 2)};
  aPacket* reply = aPacket_CreateWithData(packet->address, 2, answer);
  if (reply) {
    aPacketFifo_Put(link->outFifo, reply);
    aPacket_Destroy(&reply);
  }
  return true;
}

static aErr sHandlePacket(aLink* link) {
  aPacket* packet = link->assembly;
  if (!aPacket_IsComplete(packet))
    return aErrNone;
  sLogPacket(link, aPACKETLOG_RECEIVED, packet);
  aErr err = aErrNone;
  pthread_mutex_lock(&link->filterMutex);
  bool consumed = link->userFilter && link->userFilter(packet, link->filterReference);
  pthread_mutex_unlock(&link->filterMutex);
  if (!consumed && !sHandleHBBackChannel(link, packet))
    err = aPacketFifo_Put(link->inFifo, packet);
  aPacket_Reset(packet);
  return err;
}

static void sPause(aLink* link, unsigned long ms) {
  // Sliced so that a stop is not held up by the full pause.
  for (unsigned long waited = 0; waited < ms && link->run; waited += 10)
    aTime_MSSleep(10);
}

static void sBeginReceiving(aLink* link) {
  link->status = aLinkStatusRunning;
  link->syncState = 0;
}

// One byte from the module: synchronisation, frame assembly, then the packet.
static void sReceiveByte(aLink* link, uint8_t byte) {
  if (link->status == aLinkStatusSyncing) {
    sSyncByte(link, byte);
    return;
  }
  if (aPacket_AddByte(link->assembly, byte) != aErrNone) {
    sStartSync(link);
    return;
  }
  if (sHandlePacket(link) != aErrNone)
    link->status = aLinkStatusFailed;
}

// --- The pump: the link's I/O, done by its worker or by a waiting caller. ---

// The link whose pump this thread holds: a stop asked from a user filter
// running here cannot wait for this thread.
static thread_local aLink* tPumping = nullptr;

// Takes in every byte that has arrived. False after a stream error, which the
// status then reports.
static bool sInPipeProcess(aLink* link) {
  uint8_t byte;
  for (bool first = true;; first = false) {
    aErr err = aStream_Read(link->stream, &byte, 1);
    if (err == aErrNotReady)
      return true;
    if (first)
      link->sentSinceInput = false;
    if (err) {
      if (link->status.exchange(aLinkStatusIOError) != aLinkStatusIOError)
        link->drops++;
      return false;
    }
    sReceiveByte(link, byte);
    if (!link->run)
      return true;
  }
}

// Writes the oldest queued frame once its pace has come.
static void sOutPipeProcess(aLink* link) {
  aPacket* packet = nullptr;
  pthread_mutex_lock(&link->writeMutex);
  if (aTime_GetMonotonicUS() >= link->nextFrameUS && (packet = aPacketFifo_Get(link->outFifo)) != nullptr)
    sWriteFrameNow(link, packet);
  pthread_mutex_unlock(&link->writeMutex);
  if (packet) {
    sLogPacket(link, aPACKETLOG_SENT, packet);
    aPacket_Destroy(&packet);
  }
}

static uint64_t sNextFrameUS(aLink* link) {
  pthread_mutex_lock(&link->writeMutex);
  uint64_t next = link->nextFrameUS;
  pthread_mutex_unlock(&link->writeMutex);
  return next;
}

// When the holder has something to do next on its own: the next frame's slot
// while frames are queued, or flowing (what arrives meanwhile then waits for
// that slot: a request's reply cannot be followed by a frame sooner anyway);
// else 0: only input or a put brings work.
static uint64_t sNextDueUS(aLink* link) {
  uint64_t next = sNextFrameUS(link);
  if (aPacketFifo_GetLength(link->outFifo) > 0)
    return next;
  return link->flowing && !link->repliesLate && aTime_GetMonotonicUS() < next ? next : 0;
}

// Sleeps until the next frame's slot when one is due (not past limitUS).
// Input is not watched meanwhile: a reply taken in before its request's
// successor may leave would only have its caller queue that successor, and
// wake a thread more to write it. `near`: nothing is queued to be written at
// the slot, so waking near it will do (see sWakeNear).
static bool sAwaitSlot(aLink* link, uint64_t limitUS, bool near = false) {
  uint64_t due = sNextDueUS(link);
  uint64_t until = due < limitUS ? due : limitUS;
  if (due && near && aPacketFifo_GetLength(link->outFifo) == 0)
    sWakeNear(link, until);
  else if (due)
    sPace(link, until);
  return due != 0;
}

// With nothing due, waits at most waitMS for input (or an interruption);
// true when it waited.
static bool sAwaitInput(aLink* link, unsigned long waitMS) {
  if (sNextDueUS(link))
    return false;
  link->pumpIdle = true;
  // A packet queued, or a caller that came for the pump, before the flag was
  // up found nobody to interrupt.
  bool waits = link->run && link->pumpWanted == 0 && aPacketFifo_GetLength(link->outFifo) <= 0;
  if (waits)
    aStream_AwaitReadable(link->stream, waitMS);
  link->pumpIdle = false;
  return waits;
}

static void sNudgeWorker(aLink* link) {
  pthread_mutex_lock(&link->restMutex);
  link->restNudged = true;
  pthread_cond_signal(&link->restCond);
  pthread_mutex_unlock(&link->restMutex);
}

// The worker's wait while a caller holds the pump: until nudged, or a while.
static void sRest(aLink* link, unsigned long ms) {
  struct timespec until = aDeadline_Timespec(aDeadline_In(ms));
  pthread_mutex_lock(&link->restMutex);
  while (!link->restNudged && link->run &&
         pthread_cond_timedwait(&link->restCond, &link->restMutex, &until) != ETIMEDOUT) {
  }
  link->restNudged = false;
  pthread_mutex_unlock(&link->restMutex);
}

// After a caller let go of the pump: the worker takes over at once when there
// is work it would otherwise find only at its next look.
static void sAfterCallerPump(aLink* link) {
  if (aPacketFifo_GetLength(link->outFifo) > 0 || link->status != aLinkStatusRunning)
    sNudgeWorker(link);
}

// Makes the pump's holder let go soon: one waiting for input is interrupted.
static void sHurryHolder(aLink* link) {
  if (link->pumpIdle)
    aStream_Interrupt(link->stream);
}

static unsigned long sIdleWaitMS(aLink* link) {
  return aStream_CanInterrupt(link->stream) ? aLINK_IDLE_WAIT_MS : aLINK_READ_WAIT_MS;
}

// The worker: moves the link's bytes whenever no caller does.
static void* sWorkerProcess(void* argument) {
  aLink* link = static_cast<aLink*>(argument);
  aTime_SetPreciseSleeps();
  pthread_setname_np(pthread_self(), "link worker");
  sBeginReceiving(link);
  unsigned long restMS = aLINK_REST_MS;
  while (link->run) {
    if (link->pumpWanted > 0 || pthread_mutex_trylock(&link->pumpMutex) != 0) {
      sRest(link, restMS);
      restMS = restMS * 2 > aLINK_REST_MAX_MS ? aLINK_REST_MAX_MS : restMS * 2;
      continue;
    }
    restMS = aLINK_REST_MS;
    sAwaitSlot(link, aTime_GetMonotonicUS() + aLINK_FRAME_PACE_US * 2);
    bool ok = sInPipeProcess(link);
    if (ok) {
      sOutPipeProcess(link);
      if (link->pumpWanted == 0)
        sAwaitInput(link, sIdleWaitMS(link));
    }
    pthread_mutex_unlock(&link->pumpMutex);
    if (!ok)
      sPause(link, aLINK_ERROR_PAUSE_MS);
  }
  return nullptr;
}

// A caller may move the link's bytes itself while it waits.
static bool sPumpable(aLink* link) {
  return link->pumped && link->inStarted && link->run && link->status == aLinkStatusRunning;
}

// Takes the pump for a waiting caller; false when the link no longer runs.
static bool sTakePump(aLink* link) {
  if (pthread_mutex_trylock(&link->pumpMutex) != 0) {
    link->pumpWanted++;
    sHurryHolder(link);
    pthread_mutex_lock(&link->pumpMutex);
    link->pumpWanted--;
  }
  if (sPumpable(link))
    return true;
  pthread_mutex_unlock(&link->pumpMutex);
  return false;
}

enum PumpEnd { PumpFound, PumpTimedOut, PumpYielded, PumpStopped };

// The caller's share of the pump: rounds of I/O until the packet it waits for
// has come, its time is up, or another caller wants the pump.
static PumpEnd sCallerPump(aLink* link, aPacketFilter filter, void* reference, aDeadline deadline,
                           aPacket** found) {
  if (!sTakePump(link))
    return PumpStopped;
  tPumping = link;
  PumpEnd end = PumpStopped;
  bool waited = false;
  for (bool first = true; sPumpable(link); first = false) {
    // Only the first round wakes near the slot: a reply that was not there
    // yet is then waited for on the slot itself.
    bool paced = sAwaitSlot(link, deadline.atUS, first);
    uint64_t left = aDeadline_RemainingMS(deadline);
    // Right after this link's frame left, its reply cannot have been read:
    // the first round waits for input before asking the stream.
    if (!first || paced || !link->sentSinceInput || left == 0) {
      if (!sInPipeProcess(link))
        break;
      sOutPipeProcess(link);
      *found = filter ? aPacketFifo_GetFirst(link->inFifo, filter, reference) : aPacketFifo_Get(link->inFifo);
      if (*found)
        link->repliesLate = waited && aTime_GetMonotonicUS() >= sNextFrameUS(link);
      left = aDeadline_RemainingMS(deadline);
      end = *found ? PumpFound : left == 0 ? PumpTimedOut : link->pumpWanted > 0 ? PumpYielded : PumpStopped;
      if (end != PumpStopped)
        break;
    }
    unsigned long slice = sIdleWaitMS(link);
    waited = sAwaitInput(link, left < slice ? static_cast<unsigned long>(left) : slice) || waited;
  }
  tPumping = nullptr;
  pthread_mutex_unlock(&link->pumpMutex);
  sAfterCallerPump(link);
  return end;
}

// --- The two threads of a link without the pump. ---

static void* sInPipeThread(void* argument) {
  aLink* link = static_cast<aLink*>(argument);
  sBeginReceiving(link);
  while (link->run) {
    uint8_t byte;
    aErr err = aStream_Read(link->stream, &byte, 1);
    if (err == aErrNotReady) {
      aStream_AwaitReadable(link->stream, aLINK_READ_WAIT_MS);
      continue;
    }
    if (err) {
      if (link->status.exchange(aLinkStatusIOError) != aLinkStatusIOError)
        link->drops++;
      sPause(link, aLINK_ERROR_PAUSE_MS);
      continue;
    }
    sReceiveByte(link, byte);
  }
  return nullptr;
}

static void* sOutPipeThread(void* argument) {
  aLink* link = static_cast<aLink*>(argument);
  aTime_SetPreciseSleeps();
  while (link->outRun) {
    // The pace is waited out before the FIFO: a packet queued meanwhile is
    // then taken without waking this thread a second time.
    sPace(link, sNextFrameUS(link));
    aPacket* packet = aPacketFifo_Await(link->outFifo, aLINK_OUT_WAIT_MS);
    if (!packet)
      continue;
    sWritePacedFrame(link, packet);
    sLogPacket(link, aPACKETLOG_SENT, packet);
    aPacket_Destroy(&packet);
  }
  // Whatever is still queued (the stop frame last) goes out, still paced:
  // at most a FIFO's worth of frames, so the stop stays short.
  aPacket* packet;
  while ((packet = aPacketFifo_Get(link->outFifo)) != nullptr) {
    sWritePacedFrame(link, packet);
    aPacket_Destroy(&packet);
  }
  return nullptr;
}

// --- Lifecycle. ---

aErr aLink_Init(aLink* link, linkRef ref, aStream* stream) {
  if (!link)
    return aErrParam;
  link->check = aLINK_VALID;
  link->ref = ref;
  link->run = false;
  link->stream = stream;
  link->status = stream ? aLinkStatusStopped : aLinkStatusNoStream;
  link->inStarted = false;
  link->flowing = false;
  link->repliesLate = false;
  link->syncState = 0;
  link->syncAddress = 0;
  link->inFifo = aPacketFifo_Create();
  link->outFifo = aPacketFifo_Create();
  link->assembly = aPacket_Create();
  link->log = nullptr;
  link->logSize = 0;
  link->logMutex = nullptr;
  pthread_mutex_lock(&link->filterMutex);
  link->userFilter = nullptr;
  link->filterReference = nullptr;
  pthread_mutex_unlock(&link->filterMutex);
  if (!link->inFifo || !link->outFifo || !link->assembly)
    return aErrMemory;
  return aErrNone;
}

aErr aLink_Start(aLink* link) {
  if (!link || link->check != aLINK_VALID || !link->stream)
    return aErrParam;
  if (link->run)
    return aErrNone;
  // The start frame goes out before the workers exist, so that no heartbeat
  // answer or synchronisation burst can precede it.
  aPacket* start = sControlFrame(0x01);
  if (!start)
    return aErrMemory;
  link->run = true;
  link->status = aLinkStatusStarting;
  sWritePacedFrame(link, start);
  aPacket_Destroy(&start);
  link->pumped = aStream_CanInterrupt(link->stream) && !link->callerFed;
  link->outRun = !link->pumped;
  link->inStarted = pthread_create(&link->inThread, nullptr, link->pumped ? sWorkerProcess : sInPipeThread, link) == 0;
  if (!link->inStarted)
    return aErrResource;
  if (!link->pumped) {
    link->outStarted = pthread_create(&link->outThread, nullptr, sOutPipeThread, link) == 0;
    if (!link->outStarted)
      return aErrResource;
  }
  // Wait (briefly) for the in-pipe worker to take over, so that a caller who
  // asks for the status or awaits a reply right after creating the link does
  // not see the passing "starting" state.
  for (int i = 0; i < 1000 && link->status == aLinkStatusStarting; i++) {
    aTime_SleepUntilMonotonicUS(aTime_GetMonotonicUS() + aLINK_START_PAUSE_US);
  }
  return aErrNone;
}

static bool sIsOwnWorker(const aLink* link) {
  return (link->inStarted && pthread_equal(pthread_self(), link->inThread)) ||
         (link->outStarted && pthread_equal(pthread_self(), link->outThread)) || tPumping == link;
}

// Queues the stop frame behind whatever is still queued and writes them all,
// still paced: at most a FIFO's worth of frames, so the stop stays short. The
// caller holds the pump, so nothing is taken in meanwhile (no heartbeat answer
// can follow the stop frame); puts wait for the write mutex and, the link no
// longer running, only queue.
static aErr sWriteStopFrame(aLink* link) {
  aPacket* stop = sControlFrame(0x00);
  pthread_mutex_lock(&link->writeMutex);
  aErr err = stop ? aPacketFifo_Put(link->outFifo, stop) : aErrMemory;
  aPacket* packet;
  while ((packet = aPacketFifo_Get(link->outFifo)) != nullptr) {
    sPace(link, link->nextFrameUS);
    sWriteFrameNow(link, packet);
    aPacket_Destroy(&packet);
  }
  pthread_mutex_unlock(&link->writeMutex);
  if (stop)
    aPacket_Destroy(&stop);
  return err;
}

static aErr sQueueStopFrame(aLink* link) {
  aPacket* stop = sControlFrame(0x00);
  if (!stop)
    return aErrMemory;
  pthread_mutex_lock(&link->writeMutex);
  aErr err = aPacketFifo_Put(link->outFifo, stop);
  pthread_mutex_unlock(&link->writeMutex);
  aPacket_Destroy(&stop);
  return err;
}

aErr aLink_Stop(aLink* link) {
  if (!link || link->check != aLINK_VALID)
    return aErrParam;
  // A link runs exactly while its worker has been started; the status alone
  // is not enough to tell (the worker writes it concurrently).
  if (!link->inStarted && !link->outStarted) {
    link->run = false;
    link->outRun = false;
    return aErrNone;
  }
  int previous = link->status.exchange(aLinkStatusStopping);
  if (sIsOwnWorker(link)) {
    // A thread cannot wait for itself; the status goes back so that a later
    // stop from outside still runs in full.
    link->status = previous;
    return aErrNone;
  }
  aErr err = aErrNone;
  link->run = false;
  sNudgeWorker(link);
  aStream_Interrupt(link->stream);
  if (link->inStarted && pthread_join(link->inThread, nullptr) != 0)
    err = aErrUnknown;
  // Callers moving the link's bytes finish their round and let go.
  pthread_mutex_lock(&link->pumpMutex);
  aErr put = link->pumped ? sWriteStopFrame(link) : sQueueStopFrame(link);
  if (!err)
    err = put;
  // The out-pipe thread, where there is one, writes what is queued, the stop
  // frame last, and ends.
  link->outRun = false;
  if (link->outStarted && pthread_join(link->outThread, nullptr) != 0)
    err = aErrUnknown;
  link->inStarted = false;
  link->outStarted = false;
  aPacket_Reset(link->assembly);
  link->status = aLinkStatusStopped;
  pthread_mutex_unlock(&link->pumpMutex);
  return err;
}

// Waits until no caller is still between looking the link up and its last use
// of the record. No entry names the link any more, or its entry is locked for
// writing, so no new caller comes; those there see the link stopped and leave
// at once.
static void sAwaitUnpinned(aLink* link) {
  while (link->pins.load() > 0)
    aTime_SleepUntilMonotonicUS(aTime_GetMonotonicUS() + 50);
}

// Frees what aLink_Init made and the stream; the record stays.
static void sReleaseParts(aLink* link) {
  aPacketFifoId in = link->inFifo.exchange(0);
  aPacketFifoId out = link->outFifo.exchange(0);
  if (in)
    aPacketFifo_Destroy(&in);
  if (out)
    aPacketFifo_Destroy(&out);
  aPacketLog* log = link->log.exchange(nullptr);
  aPacketLog_Destroy(&log);
  aMutex* mutex = link->logMutex.exchange(nullptr);
  if (mutex)
    aMutex_Destroy(&mutex);
  if (link->stream) {
    link->drops += aStream_GetReconnectCount(link->stream);
    aStream_Destroy(&link->stream);
  }
  link->stream = nullptr;
  if (link->assembly)
    aPacket_Destroy(&link->assembly);
}

// Stops and frees a link taken out of the table.
static void sDestroyLink(aLink* link) {
  if (!link)
    return;
  aLink_Stop(link);
  sAwaitUnpinned(link);
  sReleaseParts(link);
  link->check = 0;
  sDestroyLinkLocks(link);
  delete link;
}

aErr aLink_Destroy(linkRef* ref) {
  if (!ref)
    return aErrParam;
  pthread_mutex_lock(&sTableLock);
  _linkEntry* entry = sLookupEntryByID(*ref);
  *ref = 0;
  if (!entry) {
    pthread_mutex_unlock(&sTableLock);
    return aErrParam;
  }
  sChangeUseCount(entry, -1);
  if (entry->useCount > 0) {
    pthread_mutex_unlock(&sTableLock);
    return aErrNone;
  }
  aLink* link = sExtractEntry(entry);
  pthread_mutex_unlock(&sTableLock);
  sDestroyLink(link);
  return aErrNone;
}

// Makes an entry for a new link over `stream` (which may be missing) and
// starts it. Called and returns with the table lock held; on failure the
// entry stays in the table with use count 0 for the caller to destroy.
static linkRef sCreateAndStart(uint32_t identifier, uint32_t port, linkType type, aStream* stream, bool* ok) {
  *ok = false;
  _linkEntry* entry = sCreate(identifier, port, type);
  if (!entry) {
    if (stream)
      aStream_Destroy(&stream);
    return 0;
  }
  aErr err = aLink_Init(entry->link, entry->ref, stream);
  if (!err && stream) {
    sChangeUseCount(entry, 1);
    err = aLink_Start(entry->link);
    *ok = err == aErrNone;
  }
  return entry->ref;
}

static linkRef sFinishCreate(linkRef ref, bool ok) {
  pthread_mutex_unlock(&sTableLock);
  if (ok)
    return ref;
  if (ref)
    aLink_Destroy(&ref);
  return 0;
}

// Takes the table lock. A link already open to the same place gains a user
// and its reference is returned with the mutex released; else 0, with the
// mutex still held for the caller to create the link.
static linkRef sLockAndShare(linkType type, uint32_t identifier, uint32_t port) {
  pthread_mutex_lock(&sTableLock);
  _linkEntry* existing = sLookupEntryByIdentifier(type, identifier, port);
  if (!existing)
    return 0;
  sChangeUseCount(existing, 1);
  linkRef ref = existing->ref;
  pthread_mutex_unlock(&sTableLock);
  return ref;
}

linkRef aLink_CreateUSB(uint32_t serialNumber) {
  linkRef shared = sLockAndShare(linkTypeUSB, serialNumber, 0);
  if (shared)
    return shared;
  aStream* stream = nullptr;
  if (aStream_CreateUSB(serialNumber, &stream) != aErrNone)
    stream = nullptr;
  bool ok = false;
  linkRef ref = sCreateAndStart(serialNumber, 0, linkTypeUSB, stream, &ok);
  return sFinishCreate(ref, ok);
}

linkRef aLink_CreateTCPIP(uint32_t address, uint16_t port) {
  linkRef shared = sLockAndShare(linkTypeTCPIP, address, port);
  if (shared)
    return shared;
  aStream* stream = nullptr;
  if (aStream_CreateSocket(address, port, &stream) != aErrNone) {
    // No connection, no link.
    pthread_mutex_unlock(&sTableLock);
    return 0;
  }
  bool ok = false;
  linkRef ref = sCreateAndStart(address, port, linkTypeTCPIP, stream, &ok);
  return sFinishCreate(ref, ok);
}

linkRef aLink_Create(aStream* stream) {
  if (!aStream_IsValid(stream))
    return 0;
  pthread_mutex_lock(&sTableLock);
  bool ok = false;
  linkRef ref = sCreateAndStart(aLINK_IDENTIFIER_STREAM, 0, linkTypeInvalid, stream, &ok);
  return sFinishCreate(ref, ok);
}

linkRef aLink_CreateFed(aStream* stream) {
  if (!aStream_IsValid(stream))
    return 0;
  pthread_mutex_lock(&sTableLock);
  _linkEntry* entry = sCreate(aLINK_IDENTIFIER_STREAM, 0, linkTypeInvalid);
  if (!entry) {
    pthread_mutex_unlock(&sTableLock);
    aStream_Destroy(&stream);
    return 0;
  }
  linkRef ref = entry->ref;
  bool ok = aLink_Init(entry->link, ref, stream) == aErrNone;
  sChangeUseCount(entry, 1);
  entry->link->callerFed = true;
  sBeginReceiving(entry->link);
  return sFinishCreate(ref, ok);
}

aErr aLink_Receive(linkRef ref, const uint8_t* bytes, size_t length) {
  if (!bytes && length)
    return aErrParam;
  aLink* link = sGetLink(ref);
  if (!link)
    return aErrParam;
  if (!link->callerFed)
    return aErrBusy;
  for (size_t i = 0; i < length; i++)
    sReceiveByte(link, bytes[i]);
  return aErrNone;
}

static aErr sOpenStream(const _linkEntry* entry, aStream** stream) {
  if (entry->type == linkTypeUSB)
    return aStream_CreateUSB(entry->identifier, stream);
  return aStream_CreateSocket(entry->identifier, static_cast<uint16_t>(entry->port), stream);
}

// After 20 failed attempts the link is left stopped, without stream and
// FIFOs, reporting aLinkStatusNoStream; its workers are not restarted and it
// can still be destroyed.
aErr aLink_ResetLink(_linkEntry* entry) {
  aLink* link = entry->link;
  if (!link || link->check != aLINK_VALID)
    return aErrParam;
  // A caller's stream cannot be opened again: leave such a link untouched
  // rather than tear it down for nothing.
  if (entry->type != linkTypeUSB && entry->type != linkTypeTCPIP)
    return aErrParam;
  aLink_Stop(link);
  sAwaitUnpinned(link);
  link->drops++;
  sReleaseParts(link);
  link->status = aLinkStatusNoStream;
  aStream* stream = nullptr;
  aErr err = aErrNone;
  for (int attempt = 0; attempt < aLINK_RESET_ATTEMPTS; attempt++) {
    err = sOpenStream(entry, &stream);
    if (!err)
      break;
    stream = nullptr;
    aTime_MSSleep(aLINK_RESET_PAUSE_MS);
  }
  if (!stream)
    return err ? err : aErrNotFound;
  err = aLink_Init(link, entry->ref, stream);
  return err ? err : aLink_Start(link);
}

// The link's callers wait for the reset as for one call: its entry stays
// locked for writing meanwhile. Other links' callers go on.
aErr aLink_Reset(linkRef ref) {
  if (pthread_mutex_trylock(&sTableLock) != 0)
    return aErrBusy;
  _linkEntry* entry = sLookupEntryByID(ref);
  aErr err = aErrParam;
  if (entry) {
    pthread_rwlock_wrlock(&entry->lock);
    err = aLink_ResetLink(entry);
    pthread_rwlock_unlock(&entry->lock);
  }
  pthread_mutex_unlock(&sTableLock);
  return err;
}

// --- Packets. ---

// What callers need of a link, read under its entry's lock so that a link
// destroyed by another thread meanwhile is never touched; a FIFO that went
// away then answers as an unknown id.
struct LinkView {
  bool found;
  bool running;
  int status;
  aPacketFifoId inFifo;
  aPacketFifoId outFifo;
  aLink* pinned;  // the record, when asked for: release it with sUnpin
};

static LinkView sView(linkRef ref, bool pin = false) {
  LinkView view = {false, false, aLinkStatusNoStream, 0, 0, nullptr};
  _linkEntry* e = sLockEntry(ref);
  if (!e)
    return view;
  aLink* link = e->link;
  view.found = true;
  view.running = link->run;
  view.status = link->status;
  view.inFifo = link->inFifo;
  view.outFifo = link->outFifo;
  if (pin) {
    link->pins++;
    view.pinned = link;
  }
  pthread_rwlock_unlock(&e->lock);
  return view;
}

static void sUnpin(LinkView& view) {
  if (view.pinned)
    view.pinned->pins--;
  view.pinned = nullptr;
}

aLinkStatus aLink_GetStatus(linkRef ref) { return static_cast<aLinkStatus>(sView(ref).status); }

uint32_t aLink_GetDropCount(linkRef ref) {
  _linkEntry* e = sLockEntry(ref);
  if (!e)
    return 0;
  uint32_t count = e->link->drops + aStream_GetReconnectCount(e->link->stream);
  pthread_rwlock_unlock(&e->lock);
  return count;
}

uint32_t aLink_GetOutgoingLength(linkRef ref) {
  LinkView view = sView(ref);
  if (!view.found)
    return 0;
  int64_t length = aPacketFifo_GetLength(view.outFifo);
  return length > 0 ? static_cast<uint32_t>(length) : 0;
}

// Writes the frame when its pace has come and no queued frame goes before
// it; the caller holds the write mutex.
static bool sWriteIfDue(aLink* link, const aPacket* packet) {
  bool due = link->run && aTime_GetMonotonicUS() >= link->nextFrameUS && aPacketFifo_GetLength(link->outFifo) == 0;
  if (due)
    sWriteFrameNow(link, packet);
  return due;
}

// A frame with none queued before it is written on the caller's thread once
// its pace allows (at most one pace from now): queued, it would leave at the
// same moment, but only after another thread, or this one's next wait, had
// been woken to write it. Any other is queued, and whoever holds the pump is
// made to see it.
static aErr sPutOutgoing(aLink* link, const aPacket* packet) {
  if (!link->pumped || !link->inStarted) {
    // The out-pipe thread writes it, or nothing does (a stopped link). Puts
    // and a stop's frame are ordered by the write mutex.
    pthread_mutex_lock(&link->writeMutex);
    aErr err = aPacketFifo_Put(link->outFifo, packet);
    pthread_mutex_unlock(&link->writeMutex);
    return err;
  }
  pthread_mutex_lock(&link->writeMutex);
  if (link->run && aPacketFifo_GetLength(link->outFifo) == 0)
    sPace(link, link->nextFrameUS);
  if (sWriteIfDue(link, packet)) {
    pthread_mutex_unlock(&link->writeMutex);
    sLogPacket(link, aPACKETLOG_SENT, packet);
    return aErrNone;
  }
  aErr err = aPacketFifo_Put(link->outFifo, packet);
  pthread_mutex_unlock(&link->writeMutex);
  if (err || !link->run)
    return err;
  if (link->pumpIdle) {
    aStream_Interrupt(link->stream);
  } else if (pthread_mutex_trylock(&link->pumpMutex) == 0) {
    // Nobody holds the pump: the worker, resting, takes it now.
    pthread_mutex_unlock(&link->pumpMutex);
    sNudgeWorker(link);
  }
  return aErrNone;
}

aErr aLink_PutPacket(linkRef ref, const aPacket* packet) {
  if (!aPacket_IsValid(packet))
    return aErrParam;
  LinkView view = sView(ref, true);
  if (!view.found)
    return aErrParam;
  aErr err = sPutOutgoing(view.pinned, packet);
  sUnpin(view);
  return err;
}

aPacket* aLink_GetPacket(linkRef ref) { return aPacketFifo_Get(sView(ref).inFifo); }

aPacket* aLink_GetFirst(linkRef ref, aPacketFilter filter, void* reference) {
  return aPacketFifo_GetFirst(sView(ref).inFifo, filter, reference);
}

// Waits for the first incoming packet the filter accepts (any packet without
// a filter). While the link runs, the waiting caller moves the link's bytes
// itself when nobody else does, so its packet needs no other thread to wake
// it; else it waits on the FIFO. `anyStatus`: a link that is not running is
// waited for all the same (else nothing is returned at once).
static aPacket* sAwait(linkRef ref, aPacketFilter filter, void* reference, unsigned long timeoutMS, bool anyStatus) {
  const aDeadline deadline = aDeadline_In(timeoutMS);
  aPacket* found = nullptr;
  bool yielded = false;
  for (uint64_t left = timeoutMS; !found; left = aDeadline_RemainingMS(deadline)) {
    LinkView view = sView(ref, true);
    bool running = view.running && (view.status == aLinkStatusRunning || view.status == aLinkStatusStarting);
    if (!view.found || (!anyStatus && !running)) {
      sUnpin(view);
      break;
    }
    found = filter ? aPacketFifo_GetFirst(view.inFifo, filter, reference) : aPacketFifo_Get(view.inFifo);
    if (found || left == 0) {
      sUnpin(view);
      break;
    }
    PumpEnd end = PumpStopped;
    if (!yielded && sPumpable(view.pinned))
      end = sCallerPump(view.pinned, filter, reference, deadline, &found);
    sUnpin(view);
    if (end == PumpFound || end == PumpTimedOut)
      break;
    // Another thread moves the bytes: wait on the FIFO, a while at most when
    // the pump may come free for this caller.
    yielded = end == PumpYielded;
    unsigned long wait = static_cast<unsigned long>(left);
    if (running && wait > aLINK_READ_WAIT_MS)
      wait = aLINK_READ_WAIT_MS;
    found = filter ? aPacketFifo_AwaitFirst(view.inFifo, filter, reference, wait)
                   : aPacketFifo_Await(view.inFifo, wait);
  }
  return found;
}

aPacket* aLink_AwaitPacket(linkRef ref, unsigned long timeoutMS) {
  return sAwait(ref, nullptr, nullptr, timeoutMS, true);
}

aPacket* aLink_AwaitFirst(linkRef ref, aPacketFilter filter, void* reference, unsigned long timeoutMS) {
  return filter ? sAwait(ref, filter, reference, timeoutMS, false) : nullptr;
}

uint32_t aLink_DrainPackets(linkRef ref, aPacketFilter filter, void* reference) {
  return aPacketFifo_DrainPackets(sView(ref).inFifo, filter, reference);
}

aErr aLink_InstallUserPacketFilter(linkRef ref, aPacketFilter filter, void* reference) {
  aLink* link = sGetLink(ref);
  if (!link)
    return aErrParam;
  pthread_mutex_lock(&link->filterMutex);
  link->userFilter = filter;
  link->filterReference = reference;
  pthread_mutex_unlock(&link->filterMutex);
  return aErrNone;
}

// --- Packet log. ---

aErr aLink_PacketDebug_SetLogSize(linkRef ref, int64_t size) {
  aLink* link = sGetLink(ref);
  if (!link || size > aPACKETLOG_MAX_SIZE)
    return aErrParam;
  pthread_mutex_lock(&sLogCreateMutex);
  aErr err = link->log.load() ? aErrBusy : aErrNone;
  if (!err)
    link->logSize = size < 0 ? 0 : size;
  pthread_mutex_unlock(&sLogCreateMutex);
  return err;
}

aErr aLink_PacketDebug_Enable(linkRef ref) {
  aLink* link = sGetLink(ref);
  if (!link)
    return aErrParam;
  pthread_mutex_lock(&sLogCreateMutex);
  aErr err = aErrNone;
  if (link->logSize == 0)
    link->logSize = aPACKETLOG_DEFAULT_SIZE;
  if (!link->logMutex.load()) {
    char name[64];
    snprintf(name, sizeof(name), "LOG_SEMA_%p", static_cast<void*>(link));
    link->logMutex.store(aMutex_Create(name), std::memory_order_release);
  }
  if (!link->log.load() && link->logMutex.load())
    link->log.store(aPacketLog_Create(static_cast<uint32_t>(link->logSize)), std::memory_order_release);
  aMutex* mutex = link->logMutex.load();
  aPacketLog* log = link->log.load();
  if (!mutex || !log) {
    err = aErrResource;
  } else {
    aMutex_Lock(mutex);
    aPacketLog_SetEnabled(log, true);
    aMutex_Unlock(mutex);
  }
  pthread_mutex_unlock(&sLogCreateMutex);
  return err;
}

// Runs `operation` on the link's log under the log mutex; aErrNotReady without a log.
template <typename Operation>
static aErr sWithLog(linkRef ref, Operation operation) {
  aLink* link = sGetLink(ref);
  if (!link)
    return aErrParam;
  aPacketLog* log = link->log.load(std::memory_order_acquire);
  if (!log)
    return aErrNotReady;
  aMutex* mutex = link->logMutex.load(std::memory_order_acquire);
  aMutex_Lock(mutex);
  aErr err = operation(log);
  aMutex_Unlock(mutex);
  return err;
}

aErr aLink_PacketDebug_Disable(linkRef ref) {
  aErr err = sWithLog(ref, [](aPacketLog* log) {
    aPacketLog_SetEnabled(log, false);
    return aErrNone;
  });
  aLink* link = sGetLink(ref);
  if (!err && link)
    sSignalLogEvent(link);
  return err;
}

bool aLink_PacketDebug_IsEnabled(linkRef ref) {
  bool enabled = false;
  sWithLog(ref, [&enabled](aPacketLog* log) {
    enabled = aPacketLog_IsEnabled(log);
    return aErrNone;
  });
  return enabled;
}

aErr aLink_PacketDebug_Read(linkRef ref, uint8_t* kind, uint32_t* length, uint8_t* buffer) {
  if (!kind || !length)
    return aErrParam;
  return sWithLog(ref, [&](aPacketLog* log) { return aPacketLog_Take(log, kind, length, buffer); });
}

aErr aLink_PacketDebug_Write(linkRef ref, uint8_t kind, uint32_t length, const uint8_t* bytes) {
  if (length > 255 || (!bytes && length))
    return aErrParam;
  aErr err = sWithLog(ref, [&](aPacketLog* log) {
    return aPacketLog_Record(log, kind, static_cast<uint8_t>(length), bytes);
  });
  aLink* link = sGetLink(ref);
  if (!err && link)
    sSignalLogEvent(link);
  return err;
}

aErr aLink_PacketDebug_Await(linkRef ref, unsigned long timeoutMS) {
  aLink* link = sGetLink(ref);
  if (!link)
    return aErrParam;
  struct timespec deadline = aDeadline_Timespec(aDeadline_In(timeoutMS));
  pthread_mutex_lock(&link->logEventMutex);
  while (link->logEvents == link->logEventsSeen &&
         pthread_cond_timedwait(&link->logEvent, &link->logEventMutex, &deadline) != ETIMEDOUT) {
  }
  bool happened = link->logEvents != link->logEventsSeen;
  link->logEventsSeen = link->logEvents;
  pthread_mutex_unlock(&link->logEventMutex);
  return happened ? aErrNone : aErrTimeout;
}

// --- The pump, for the shared exchange thread. ---

aErr aLinkPump_Pin(linkRef ref, aLink** link, bool* pumped) {
  LinkView view = sView(ref, true);
  if (!view.found)
    return aErrParam;
  if (!view.running || view.status != aLinkStatusRunning) {
    sUnpin(view);
    return aErrConnection;
  }
  // The exchange thread waits for input on many links at once: it needs
  // descriptors to poll.
  *pumped = sPumpable(view.pinned) && aStream_HasDescriptor(view.pinned->stream);
  *link = view.pinned;
  return aErrNone;
}

void aLinkPump_Unpin(aLink* link) {
  if (link)
    link->pins--;
}

void aLinkPump_Want(aLink* link, int delta) {
  link->pumpWanted += delta;
  if (delta > 0)
    sHurryHolder(link);
  else
    sNudgeWorker(link);
}

aErr aLinkPump_Take(aLink* link) {
  if (pthread_mutex_trylock(&link->pumpMutex) != 0)
    return sPumpable(link) ? aErrBusy : aErrConnection;
  if (!sPumpable(link)) {
    pthread_mutex_unlock(&link->pumpMutex);
    return aErrConnection;
  }
  tPumping = link;
  return aErrNone;
}

void aLinkPump_Release(aLink* link) {
  tPumping = nullptr;
  pthread_mutex_unlock(&link->pumpMutex);
  sAfterCallerPump(link);
}

bool aLinkPump_TakeIn(aLink* link) { return sInPipeProcess(link); }

void aLinkPump_WriteQueued(aLink* link) { sOutPipeProcess(link); }

aPacket* aLinkPump_TakeFirst(aLink* link, aPacketFilter filter, void* reference) {
  return aPacketFifo_GetFirst(link->inFifo, filter, reference);
}

bool aLinkPump_WriteIfDue(aLink* link, const aPacket* packet) {
  pthread_mutex_lock(&link->writeMutex);
  bool due = sWriteIfDue(link, packet);
  pthread_mutex_unlock(&link->writeMutex);
  if (due)
    sLogPacket(link, aPACKETLOG_SENT, packet);
  return due;
}

uint64_t aLinkPump_NextSlotUS(aLink* link) { return sNextFrameUS(link); }

void aLinkPump_Pace(aLink* link, uint64_t deadlineUS) { sPace(link, deadlineUS); }

void aLinkPump_WakeNear(aLink* link, uint64_t deadlineUS) { sWakeNear(link, deadlineUS); }

int aLinkPump_Descriptor(aLink* link) { return aStream_GetDescriptor(link->stream); }

bool aLinkPump_Running(aLink* link) { return sPumpable(link); }
