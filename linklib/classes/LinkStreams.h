// Stream machinery of a Link: the map of registrations and cached values that
// the receiving thread's filter fills, and the worker that runs callbacks.
#pragma once
#include <semaphore.h>
#include <stdint.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "Link.h"
#include "LocklessQueue.h"

namespace Tessoral {
namespace Kovalink {

struct StreamEntry {
  uint64_t key = 0;
  bool fresh = false;
  streamCallback callback;
  void* reference = nullptr;
  uint32_t value = 0;
};

// One deferred callback invocation; owns its packet copy.
struct asyncPacket {
  streamCallback callback;
  void* reference = nullptr;
  aPacket* packet = nullptr;
};

struct LinkStreams {
  static const uint16_t kQueueSlots = 500;

  LinkStreams();
  ~LinkStreams();

  // Starts the worker unless it runs; stops and joins it.
  bool startWorker();
  void stopWorker();
  // True on the worker's own thread (which cannot wait for itself to stop).
  bool onWorker() const { return std::this_thread::get_id() == workerId.load(); }
  // Receiving thread only (the queue's one producer).
  void queue(const StreamEntry& entry, const aPacket* packet);

  std::map<uint64_t, StreamEntry> map;
  std::mutex mapMutex;
  // Serialises registrations, so filter and worker come and go in step with the map.
  std::mutex control;
  bool filterInstalled = false;

private:
  void work();

  LocklessQueue_SPSC<asyncPacket> pending;
  // Counts queued invocations; the worker sleeps on it, so an idle link costs nothing.
  sem_t wake;
  std::atomic<bool> stop{false};
  std::atomic<std::thread::id> workerId{};
  std::thread worker;
};

}  // namespace Kovalink
}  // namespace Tessoral
