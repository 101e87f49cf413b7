#include "aPacketFifo.h"

#include <atomic>
#include <errno.h>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unordered_map>

#include "aTime.h"

typedef struct fifoEntry {
  aPacket packet;
  struct fifoEntry* next;
} fifoEntry;

typedef struct packetFifo {
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
  struct packetFifo* next = nullptr;
} packetFifo;

// The registry: every live FIFO, found by id under the registry lock. Looking
// up shares the lock (every FIFO operation of every link does it, several
// times a frame); creating and destroying take it alone.
static pthread_rwlock_t sRegistryLock = PTHREAD_RWLOCK_INITIALIZER;
static packetFifo* sRegistryHead = nullptr;
static packetFifo* sRegistryTail = nullptr;
static std::unordered_map<aPacketFifoId, packetFifo*>* sRegistryIndex = nullptr;
static aPacketFifoId sNextId = 1;
// False once the index could not take a FIFO: lookups then walk the list.
static bool sIndexComplete = true;

// The caller holds the registry lock.
static packetFifo* sFind(aPacketFifoId id) {
  if (id == 0)
    return nullptr;
  if (sRegistryIndex && sIndexComplete) {
    auto found = sRegistryIndex->find(id);
    return found == sRegistryIndex->end() ? nullptr : found->second;
  }
  packetFifo* f = sRegistryHead;
  while (f && f->id != id)
    f = f->next;
  return f;
}

// Finds the FIFO and returns it with its own mutex held (taken before the
// registry mutex is released, so the FIFO cannot go away in between).
static packetFifo* sLockFifo(aPacketFifoId id) {
  pthread_rwlock_rdlock(&sRegistryLock);
  packetFifo* f = sFind(id);
  if (f)
    pthread_mutex_lock(&f->mutex);
  pthread_rwlock_unlock(&sRegistryLock);
  if (f && f->check != aPACKETFIFO_VALID) {
    pthread_mutex_unlock(&f->mutex);
    return nullptr;
  }
  return f;
}

aPacketFifoId aPacketFifo_Create(void) {
  packetFifo* f = new (std::nothrow) packetFifo;
  if (!f)
    return 0;
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  // Deadlines on the monotonic clock do not move when the wall clock is set.
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_mutex_init(&f->mutex, nullptr);
  pthread_cond_init(&f->arrived, &attr);
  pthread_cond_init(&f->idle, nullptr);
  pthread_condattr_destroy(&attr);
  f->check = aPACKETFIFO_VALID;
  pthread_rwlock_wrlock(&sRegistryLock);
  if (!sRegistryIndex)
    sRegistryIndex = new (std::nothrow) std::unordered_map<aPacketFifoId, packetFifo*>();
  f->id = sNextId++;
  try {
    if (sRegistryIndex)
      (*sRegistryIndex)[f->id] = f;
    else
      sIndexComplete = false;
  } catch (...) {
    sIndexComplete = false;
  }
  if (sRegistryTail)
    sRegistryTail->next = f;
  else
    sRegistryHead = f;
  sRegistryTail = f;
  pthread_rwlock_unlock(&sRegistryLock);
  return f->id;
}

static void sFreeEntries(packetFifo* f) {
  while (f->head) {
    fifoEntry* e = f->head;
    f->head = e->next;
    delete e;
  }
  f->tail = nullptr;
}

aErr aPacketFifo_Destroy(aPacketFifoId* id) {
  if (!id || *id == 0)
    return aErrParam;
  pthread_rwlock_wrlock(&sRegistryLock);
  packetFifo* prev = nullptr;
  packetFifo* f = sRegistryHead;
  while (f && f->id != *id) {
    prev = f;
    f = f->next;
  }
  if (!f) {
    pthread_rwlock_unlock(&sRegistryLock);
    return aErrNotFound;
  }
  if (sRegistryIndex)
    sRegistryIndex->erase(f->id);
  if (prev)
    prev->next = f->next;
  else
    sRegistryHead = f->next;
  if (sRegistryTail == f)
    sRegistryTail = prev;
  pthread_mutex_lock(&f->mutex);
  pthread_rwlock_unlock(&sRegistryLock);
  sFreeEntries(f);
  f->count = -1;
  pthread_cond_broadcast(&f->arrived);
  while (f->users > 0)
    pthread_cond_wait(&f->idle, &f->mutex);
  f->check = 0;
  pthread_mutex_unlock(&f->mutex);
  // No put can start waking now (the count is -1); one that began before
  // finishes its broadcast in a moment.
  while (f->waking.load(std::memory_order_acquire) > 0)
    sched_yield();
  pthread_cond_destroy(&f->arrived);
  pthread_cond_destroy(&f->idle);
  pthread_mutex_destroy(&f->mutex);
  delete f;
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
  if (f->count < 0) {
    pthread_mutex_unlock(&f->mutex);
    return aErrCancel;
  }
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
