// Any byte stream from a module into a running link: frame assembly, the
// synchronisation recogniser, heartbeat answers and the packet FIFOs.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "aLink.h"
#include "aStream.h"

namespace {

struct Feed {
  const uint8_t* data;
  size_t size;
  std::atomic<size_t> at{0};
};

aErr cbGet(uint8_t* byte, void* reference) {
  Feed* feed = static_cast<Feed*>(reference);
  size_t at = feed->at.load();
  if (at >= feed->size)
    return aErrNotReady;
  *byte = feed->data[at];
  feed->at = at + 1;
  return aErrNone;
}

aErr cbWrite(const uint8_t*, size_t, void*) { return aErrNone; }
aErr cbPut(uint8_t, void*) { return aErrNone; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Feed feed;
  feed.data = data;
  feed.size = size;
  aStream* stream = aStream_Create(cbGet, cbPut, cbWrite, nullptr, &feed);
  linkRef ref = aLink_Create(stream);
  if (ref == 0)
    return 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (feed.at.load() < size && std::chrono::steady_clock::now() < deadline) {
    aPacket* packet = aLink_GetPacket(ref);
    if (packet)
      aPacket_Destroy(&packet);
    else
      std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  aLink_Destroy(&ref);
  return 0;
}
