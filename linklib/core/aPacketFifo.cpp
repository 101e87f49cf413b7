#include "aPacketFifo.h"

#include <atomic>
#include <errno.h>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include "aTime.h"

typedef struct fifoEntry {
  aPacket packet;
  struct fifoEntry* next;
} fifoEntry;

// A FIFO's record. Records are never freed: a destroyed FIFO's record is kept,
// its mutex and conditions still initialised, and carries a later FIFO. So a
// look-up may lock whatever record an id points to without a shared lock, and
// learn under that record's mutex whether it still carries that id.
// A cache line each: the records of different links do not share one.
typedef struct alignas(64) packetFifo {
  uint16_t check = 0;
  aPacketFifoId id = 0;
  fifoEntry* head = nullptr;
  fifoEntry* tail = nullptr;
  int64_t count = 0;  // -1 while the FIFO is being destroyed
  int users = 0;      // threads waiting inside the FIFO
  // Puts that wake the waiters after letting go of the mutex (so that a
  // woken waiter does not at once block on it again); destroy waits them out.
  std::atomic<int> waking{0};
  pthread_mutex_t mutex;
  pthread_cond_t arrived;
  pthread_cond_t idle;  // signalled when the last waiter leaves a dying FIFO
  // Under sSlotLock: the record's place for life, the generation of the last
  // FIFO it carried, and the next spare record.
  uint32_t slot = 0;
  uint64_t generation = 0;
  struct packetFifo* nextSpare = nullptr;
} packetFifo;

// An id is a record's slot (low bits) and that record's generation, which
// grows with every FIFO the record carries: no id is handed out twice, and a
// stale one never matches the FIFO its record carries now. The slot bits allow
// 16 M FIFOs alive at once, far beyond what memory holds with their links.
#define aPACKETFIFO_SLOT_BITS 24
#define aPACKETFIFO_SLOTS (1ull << aPACKETFIFO_SLOT_BITS)
#define aPACKETFIFO_LAST_GENERATION ((1ull << (64 - aPACKETFIFO_SLOT_BITS)) - 1)

// The records live in chunks, each twice the size of the one before, that
// never move: a slot maps to its record by arithmetic and one atomic load.
#define aPACKETFIFO_CHUNK0_BITS 6
#define aPACKETFIFO_CHUNKS (aPACKETFIFO_SLOT_BITS - aPACKETFIFO_CHUNK0_BITS + 1)
static std::atomic<packetFifo*> sChunks[aPACKETFIFO_CHUNKS];

// Creating and destroying share this lock; look-ups never take it. Records are
// made only when no spare one is left, a chunk at a time, so there are at most
// about twice as many as the most FIFOs ever alive at once.
static pthread_mutex_t sSlotLock = PTHREAD_MUTEX_INITIALIZER;
static uint64_t sSlotsMade = 0;
static packetFifo* sSpares = nullptr;

// The chunk holding a slot and the slot's index within it.
static unsigned sChunkOf(uint64_t slot, uint64_t* index) {
  uint64_t shifted = slot + (1ull << aPACKETFIFO_CHUNK0_BITS);
  unsigned chunk = 63 - __builtin_clzll(shifted) - aPACKETFIFO_CHUNK0_BITS;
  *index = shifted - (1ull << (chunk + aPACKETFIFO_CHUNK0_BITS));
  return chunk;
}

static packetFifo* sRecord(aPacketFifoId id) {
  uint64_t index = 0;
  unsigned chunk = sChunkOf(id & (aPACKETFIFO_SLOTS - 1), &index);
  packetFifo* records = sChunks[chunk].load(std::memory_order_acquire);
  return records ? &records[index] : nullptr;
}

// Makes the next chunk's records spare. The caller holds sSlotLock.
static void sAddChunk(void) {
  uint64_t index = 0;
  unsigned chunk = sChunkOf(sSlotsMade, &index);
  uint64_t size = 1ull << (chunk + aPACKETFIFO_CHUNK0_BITS);
  if (size > aPACKETFIFO_SLOTS - sSlotsMade)
    size = aPACKETFIFO_SLOTS - sSlotsMade;
  packetFifo* records = size ? new (std::nothrow) packetFifo[size] : nullptr;
  if (!records)
    return;
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  // Deadlines on the monotonic clock do not move when the wall clock is set.
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  for (uint64_t i = size; i-- > 0;) {
    packetFifo* f = &records[i];
    pthread_mutex_init(&f->mutex, nullptr);
    pthread_cond_init(&f->arrived, &attr);
    pthread_cond_init(&f->idle, nullptr);
    f->slot = static_cast<uint32_t>(sSlotsMade + i);
    f->nextSpare = sSpares;
    sSpares = f;
  }
  pthread_condattr_destroy(&attr);
  sSlotsMade += size;
  // Published once initialised: a look-up loads the chunk before its records.
  sChunks[chunk].store(records, std::memory_order_release);
}

// Finds the FIFO and returns it with its own mutex held, the only lock taken.
// A record found through a stale id is refused under that mutex: it is no
// longer valid, carries another id or is being destroyed.
static packetFifo* sLockFifo(aPacketFifoId id) {
  packetFifo* f = id ? sRecord(id) : nullptr;
  if (!f)
    return nullptr;
  pthread_mutex_lock(&f->mutex);
  if (f->check == aPACKETFIFO_VALID && f->id == id && f->count >= 0)
    return f;
  pthread_mutex_unlock(&f->mutex);
  return nullptr;
}

aPacketFifoId aPacketFifo_Create(void) {
  pthread_mutex_lock(&sSlotLock);
  if (!sSpares)
    sAddChunk();
  packetFifo* f = sSpares;
  aPacketFifoId id = 0;
  if (f) {
    sSpares = f->nextSpare;
    f->generation++;
    id = (f->generation << aPACKETFIFO_SLOT_BITS) | f->slot;
  }
  pthread_mutex_unlock(&sSlotLock);
  if (!f)
    return 0;
  // Under the mutex: a stale look-up may be holding it to check the id.
  pthread_mutex_lock(&f->mutex);
  f->id = id;
  f->count = 0;
  f->check = aPACKETFIFO_VALID;
  pthread_mutex_unlock(&f->mutex);
  return id;
}

static void sFreeEntries(packetFifo* f) {
  while (f->head) {
    fifoEntry* e = f->head;
    f->head = e->next;
    delete e;
  }
  f->tail = nullptr;
}

// Makes a record whose FIFO is gone spare. One whose generations ran out is
// kept aside for good, so that no id comes twice.
static void sRetire(packetFifo* f) {
  pthread_mutex_lock(&sSlotLock);
  if (f->generation < aPACKETFIFO_LAST_GENERATION) {
    f->nextSpare = sSpares;
    sSpares = f;
  }
  pthread_mutex_unlock(&sSlotLock);
}

aErr aPacketFifo_Destroy(aPacketFifoId* id) {
  if (!id || *id == 0)
    return aErrParam;
  // A count of -1 makes every look-up from here on miss, as for an unknown id.
  packetFifo* f = sLockFifo(*id);
  if (!f)
    return aErrNotFound;
  sFreeEntries(f);
  f->count = -1;
  pthread_cond_broadcast(&f->arrived);
  while (f->users > 0)
    pthread_cond_wait(&f->idle, &f->mutex);
  f->check = 0;
  pthread_mutex_unlock(&f->mutex);
  // No put can start waking now (the count is -1); one that began before
  // finishes its broadcast in a moment. Only then may the record carry
  // another FIFO.
  while (f->waking.load(std::memory_order_acquire) > 0)
    sched_yield();
  sRetire(f);
  *id = 0;
  return aErrNone;
}

int64_t aPacketFifo_GetLength(aPacketFifoId id) {
  packetFifo* f = sLockFifo(id);
  if (!f)
    return -1;
  int64_t count = f->count;
  pthread_mutex_unlock(&f->mutex);
  return count;
}

aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet) {
  if (!aPacket_IsValid(packet))
    return aErrParam;
  packetFifo* f = sLockFifo(id);
  if (!f)
    return aErrParam;
  fifoEntry* e = new (std::nothrow) fifoEntry;
  if (!e) {
    pthread_mutex_unlock(&f->mutex);
    return aErrResource;
  }
  e->packet = *packet;
  e->next = nullptr;
  if (f->tail)
    f->tail->next = e;
  else
    f->head = e;
  f->tail = e;
  f->count++;
  // Bounded: the oldest packets nobody claimed make room. The newest stays,
  // since it may be the very reply a waiter is about to take.
  while (f->count > aPACKETFIFO_LIMIT) {
    fifoEntry* oldest = f->head;
    f->head = oldest->next;
    delete oldest;
    f->count--;
  }
  // Every waiter rescans: each may be looking for a different packet. Without
  // waiters there is nobody to wake: a later waiter scans before it waits.
  bool wake = f->users > 0;
  if (wake)
    f->waking.fetch_add(1, std::memory_order_relaxed);
  pthread_mutex_unlock(&f->mutex);
  if (wake) {
    pthread_cond_broadcast(&f->arrived);
    f->waking.fetch_sub(1, std::memory_order_release);
  }
  return aErrNone;
}

// Removes the first entry the filter accepts (any entry without a filter) and
// returns a copy of its packet.
static aPacket* sTakeFirst(packetFifo* f, aPacketFilter filter, void* reference) {
  fifoEntry* prev = nullptr;
  for (fifoEntry* e = f->head; e; prev = e, e = e->next) {
    if (filter && !filter(&e->packet, reference))
      continue;
    if (prev)
      prev->next = e->next;
    else
      f->head = e->next;
    if (f->tail == e)
      f->tail = prev;
    f->count--;
    aPacket* copy = aPacket_Copy(&e->packet);
    delete e;
    return copy;
  }
  return nullptr;
}

// Waits for the next arrival; false when the deadline passed or the FIFO is dying.
static bool sWait(packetFifo* f, const struct timespec* deadline) {
  f->users++;
  int rc = pthread_cond_timedwait(&f->arrived, &f->mutex, deadline);
  f->users--;
  if (f->count < 0) {
    if (f->users == 0)
      pthread_cond_signal(&f->idle);
    return false;
  }
  return rc != ETIMEDOUT;
}

// Waits until a packet the filter accepts is there or the deadline passes.
// Non-matching packets are not rescanned until something new arrives.
static aPacket* sAwait(aPacketFifoId id, aPacketFilter filter, void* reference, unsigned long timeoutMS) {
  packetFifo* f = sLockFifo(id);
  if (!f)
    return nullptr;
  struct timespec deadline = aDeadline_Timespec(aDeadline_In(timeoutMS));
  aPacket* found = nullptr;
  for (;;) {
    if (f->count < 0)
      break;
    found = sTakeFirst(f, filter, reference);
    if (found || !sWait(f, &deadline))
      break;
  }
  if (!found && f->count >= 0)
    found = sTakeFirst(f, filter, reference);
  pthread_mutex_unlock(&f->mutex);
  return found;
}

static aPacket* sTake(aPacketFifoId id, aPacketFilter filter, void* reference) {
  packetFifo* f = sLockFifo(id);
  if (!f)
    return nullptr;
  aPacket* found = f->count > 0 ? sTakeFirst(f, filter, reference) : nullptr;
  pthread_mutex_unlock(&f->mutex);
  return found;
}

aPacket* aPacketFifo_Get(aPacketFifoId id) { return sTake(id, nullptr, nullptr); }

aPacket* aPacketFifo_Await(aPacketFifoId id, unsigned long timeoutMS) {
  return sAwait(id, nullptr, nullptr, timeoutMS);
}

aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketFilter filter, void* reference) {
  return filter ? sTake(id, filter, reference) : nullptr;
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketFilter filter, void* reference, unsigned long timeoutMS) {
  return filter ? sAwait(id, filter, reference, timeoutMS) : nullptr;
}

uint32_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketFilter filter, void* reference) {
  if (!filter)
    return 0;
  packetFifo* f = sLockFifo(id);
  if (!f)
    return 0;
  uint32_t removed = 0;
  fifoEntry* prev = nullptr;
  fifoEntry* e = f->head;
  while (e) {
    fifoEntry* next = e->next;
    if (filter(&e->packet, reference)) {
      if (prev)
        prev->next = next;
      else
        f->head = next;
      if (f->tail == e)
        f->tail = prev;
      delete e;
      f->count--;
      removed++;
    } else {
      prev = e;
    }
    e = next;
  }
  pthread_mutex_unlock(&f->mutex);
  return removed;
}
