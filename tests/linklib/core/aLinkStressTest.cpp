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

namespace {

aErr cbNoInput(uint8_t*, void*) { return aErrNotReady; }
aErr cbTakeByte(uint8_t, void*) { return aErrNone; }
aErr cbTakeBytes(const uint8_t*, size_t, void*) { return aErrNone; }

// One short-lived link, which must hold exactly what its owner put and fed
// into it; its reference goes to `gone` once it is destroyed. The faults seen.
int OwnLink(uint8_t tag, std::atomic<linkRef>* gone) {
  linkRef ref = aLink_CreateFed(aStream_Create(cbNoInput, cbTakeByte, cbTakeBytes, nullptr, nullptr));
  aPacket* own = aPacket_CreateWithData(0x02, 1, &tag);
  int faults = 0;
  for (int i = 0; i < 3; i++)
    faults += aLink_PutPacket(ref, own) != aErrNone;
  aPacket_Destroy(&own);
  const uint8_t frame[] = {0x04, 0x02, 0x11, tag};
  faults += aLink_Receive(ref, frame, sizeof frame) != aErrNone;
  aPacket* in = aLink_GetPacket(ref);
  faults += !in || in->dataSize != 2 || in->data[1] != tag;
  aPacket_Destroy(&in);
  faults += aLink_GetOutgoingLength(ref) != 3;
  linkRef kept = ref;
  faults += aLink_Destroy(&ref) != aErrNone;
  gone->store(kept);
  return faults;
}

// Every call through a destroyed link's reference finds nothing, at once.
int PokeGone(linkRef ref, const aPacket* packet) {
  const uint8_t frame[] = {0x04, 0x01, 0x55};
  int faults = aLink_PutPacket(ref, packet) != aErrParam;
  faults += aLink_Receive(ref, frame, sizeof frame) != aErrParam;
  faults += aLink_GetOutgoingLength(ref) != 0;
  aPacket* stolen = aLink_AwaitPacket(ref, 50);
  faults += stolen != nullptr;
  aPacket_Destroy(&stolen);
  return faults;
}

}  // namespace

// Links come and go by the ten thousand (more than the engine keeps places
// for at once, so that places are reused) while other threads call through
// the references of the links destroyed so far: a stale reference never
// reaches a later link, and its calls return at once.
TEST(aLinkStress, StaleReferencesNeverReachALaterLink) {
  const int kOwners = 3;
  const int kRounds = 10000;
  std::vector<std::atomic<linkRef>> gone(kOwners * kRounds);
  std::atomic<size_t> goneCount{0};
  std::atomic<int> faults{0};
  std::atomic<int> staleFaults{0};
  std::atomic<int> ownersLeft{kOwners};
  std::vector<std::thread> threads;
  for (int t = 0; t < kOwners; t++)
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; r++)
        faults += OwnLink(static_cast<uint8_t>(t * 64 + r % 64), &gone[goneCount++]);
      ownersLeft--;
    });
  // One thread asks for the status of every stale reference over and over,
  // another calls through the latest ones in every way.
  threads.emplace_back([&] {
    while (ownersLeft > 0)
      for (size_t i = 0, n = goneCount; i < n; i++)
        staleFaults += aLink_GetStatus(gone[i]) != aLinkStatusNoStream;
  });
  threads.emplace_back([&] {
    const uint8_t data = 0xEE;
    aPacket* packet = aPacket_CreateWithData(0x02, 1, &data);
    while (ownersLeft > 0)
      for (size_t n = goneCount, i = n > 64 ? n - 64 : 0; i < n; i++)
        staleFaults += PokeGone(gone[i], packet);
    aPacket_Destroy(&packet);
  });
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(faults, 0);
  EXPECT_EQ(staleFaults, 0);
}
