// The thread that runs stream callbacks, away from both the link's receiving
// thread and the stream map's mutex, fed through a lock-free queue.
#pragma once
#include <semaphore.h>
#include <stdint.h>

#include <atomic>
#include <thread>

#include "Link.h"
#include "LocklessQueue.h"

namespace Tessoral {
namespace Kovalink {

// One deferred callback invocation; owns its packet copy.
struct asyncPacket {
  streamCallback callback;
  void* reference = nullptr;
  aPacket* packet = nullptr;
};

class StreamWorker {
public:
  static const uint16_t kQueueSlots = 500;

  StreamWorker();
  ~StreamWorker();
  StreamWorker(const StreamWorker&) = delete;
  StreamWorker& operator=(const StreamWorker&) = delete;

  // Starts the thread unless it runs; false when it cannot be started.
  bool start();
  // Stops and joins the thread, releasing the invocations it did not reach.
  void stop();
  // True on the worker's own thread (which cannot wait for itself to stop).
  bool onWorker() const { return std::this_thread::get_id() == workerId.load(); }
  // Producer side only (the link's receiving thread). A full queue loses the
  // invocation.
  void queue(const streamCallback& callback, void* reference, const aPacket* packet);

private:
  void work();

  LocklessQueue_SPSC<asyncPacket> pending;
  // Counts queued invocations; the worker sleeps on it, so an idle link costs nothing.
  sem_t wake;
  std::atomic<bool> stopping{false};
  std::atomic<std::thread::id> workerId{};
  std::thread worker;
};

}  // namespace Kovalink
}  // namespace Tessoral
