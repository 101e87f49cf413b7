// The streams of a Link: registrations with the module, the filter that takes
// stream packets off the receiving thread into the value cache, and the worker
// that runs the registered callbacks.
#pragma once
#include <stdint.h>

#include <map>
#include <mutex>
#include <vector>

#include "Link.h"
#include "StreamWorker.h"

namespace Tessoral {
namespace Kovalink {

struct StreamEntry {
  uint64_t key = 0;
  bool fresh = false;
  streamCallback callback;
  void* reference = nullptr;
  uint32_t value = 0;
};

class LinkStreams {
public:
  explicit LinkStreams(Link& owner) : link(owner) {}
  LinkStreams(const LinkStreams&) = delete;
  LinkStreams& operator=(const LinkStreams&) = delete;

  // 0xFF in command, option or index registers a wildcard; the subindex of a
  // registration is always a wildcard. Without `enable` every matching
  // registration goes.
  aErr registerCallback(uint8_t address, uint8_t command, uint8_t option, uint8_t index, bool enable,
                       streamCallback callback, void* reference);
  aErr enable(uint8_t address, uint8_t command, uint8_t option, uint8_t index, bool on);
  aErr isStreaming(uint8_t address, uint8_t* state);
  // Latest streamed value: 0 the first time it is read, aErrStreamStale after
  // (same value), aErrNotFound while nothing streams it.
  aErr value(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex, uint32_t* cached);
  // Concrete keys matching the filter (0xFF = any) with their cached values.
  aErr status(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
             std::map<uint64_t, uint32_t>* values);
  std::vector<uint64_t> activeKeys(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                                   uint8_t subindex, bool lock = true);
  // Removes the filter, forgets every registration and stops the worker,
  // without telling the module (the link is going).
  void stop();

private:
  static bool cbStreamFilter(const aPacket* packet, void* reference);
  // Receiving thread: caches the sample and queues the callbacks it matches.
  void take(const aPacket* packet, uint64_t key);
  // Callers hold the control mutex.
  aErr installFilter(bool on);
  aErr askModule(uint8_t address, uint64_t key, bool enable);
  void eraseMatching(uint8_t address, uint8_t command, uint8_t option, uint8_t index);

  Link& link;
  std::map<uint64_t, StreamEntry> map;
  std::mutex mapMutex;
  // Serialises registrations, so filter and worker come and go in step with the map.
  std::mutex control;
  bool filterInstalled = false;
  StreamWorker worker;
};

}  // namespace Kovalink
}  // namespace Tessoral
