// Links opened, used and destroyed from several threads at once, with
// packets flowing; run under ThreadSanitizer by `make test-tsan`.
#include <gtest/gtest.h>

#include <atomic>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include "LinkTestChannels.h"
#include "aLink.h"

namespace {

bool cbNothing(const aPacket*, void*) { return false; }

bool cbSequence(const aPacket* packet, void* reference) {
  return packet->dataSize == 2 && packet->data[1] == *static_cast<uint8_t*>(reference);
}

// One round: a link to an echoing module, a few requests answered in turn.
int RoundTrip(int round, std::atomic<linkRef>& lastRef) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
    return 0;
  linktest::ScriptedPeer module(linktest::ScriptedPeer::Channel{fds[1]});
  module.setResponder(linktest::ScriptedPeer::Echo(0x02));
  linkRef ref = aLink_Create(linktest::SocketPairStream(fds[0]));
  if (!ref)
    return 0;
  lastRef = ref;
  int answered = 0;
  for (uint8_t i = 0; i < 5; i++) {
    uint8_t sequence = static_cast<uint8_t>(round * 5 + i);
    const uint8_t data[2] = {0x11, sequence};
    aPacket* request = aPacket_CreateWithData(0x02, 2, data);
    aLink_PutPacket(ref, request);
    aPacket_Destroy(&request);
    aPacket* reply = aLink_AwaitFirst(ref, cbSequence, &sequence, 2000);
    if (reply)
      answered++;
    aPacket_Destroy(&reply);
  }
  aLink_Destroy(&ref);
  return answered;
}

}  // namespace

TEST(aLinkStress, ManyThreadsOpenUseAndDestroyLinks) {
  const int kThreads = 4;
  const int kRounds = 8;
  std::atomic<int> answered{0};
  std::atomic<linkRef> lastRef{0};
  std::atomic<bool> done{false};
  // Meanwhile another thread pokes at whatever link was made last, also
  // while it is being destroyed.
  std::thread prober([&] {
    while (!done) {
      linkRef ref = lastRef;
      aLink_GetStatus(ref);
      aLink_Reset(ref);
      aLink_GetFirst(ref, cbNothing, nullptr);
      aLink_AwaitFirst(ref, cbNothing, nullptr, 1);
      aLink_DrainPackets(ref, cbNothing, nullptr);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; t++)
    workers.emplace_back([&, t] {
      for (int r = 0; r < kRounds; r++)
        answered += RoundTrip(t * kRounds + r, lastRef);
    });
  for (std::thread& w : workers)
    w.join();
  done = true;
  prober.join();
  EXPECT_EQ(answered, kThreads * kRounds * 5);
}
