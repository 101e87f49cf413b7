#include "StreamWorker.h"

#include <errno.h>

#include <system_error>

namespace Tessoral {
namespace Kovalink {

StreamWorker::StreamWorker() : pending(kQueueSlots) { sem_init(&wake, 0, 0); }

StreamWorker::~StreamWorker() {
  stop();
  sem_destroy(&wake);
}

bool StreamWorker::start() {
  if (worker.joinable())
    return true;
  stopping = false;
  try {
    worker = std::thread(&StreamWorker::work, this);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void StreamWorker::stop() {
  if (worker.joinable()) {
    stopping = true;
    sem_post(&wake);
    worker.join();
  }
  // Invocations the worker did not reach are released, and their wake-ups
  // forgotten, so that a later worker starts from an empty queue.
  asyncPacket left;
  while (pending.pop(&left))
    aPacket_Destroy(&left.packet);
  while (sem_trywait(&wake) == 0) {
  }
}

void StreamWorker::queue(const streamCallback& callback, void* reference, const aPacket* packet) {
  if (!callback)
    return;
  asyncPacket invocation;
  invocation.callback = callback;
  invocation.reference = reference;
  invocation.packet = aPacket_Copy(packet);
  if (invocation.packet && pending.push(invocation)) {
    sem_post(&wake);
    return;
  }
  aPacket_Destroy(&invocation.packet);
}

void StreamWorker::work() {
  workerId = std::this_thread::get_id();
  for (;;) {
    if (sem_wait(&wake) != 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    if (stopping)
      return;
    asyncPacket invocation;
    if (!pending.pop(&invocation))
      continue;
    invocation.callback(invocation.packet, invocation.reference);
    aPacket_Destroy(&invocation.packet);
  }
}

}  // namespace Kovalink
}  // namespace Tessoral
