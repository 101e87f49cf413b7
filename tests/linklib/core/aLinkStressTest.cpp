// Links opened, used and destroyed from several threads at once, with
// packets flowing; run under ThreadSanitizer by `make test-tsan`.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
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

// References of destroyed links, appended while others read them.
struct GoneRefs {
  std::mutex mutex;
  std::vector<linkRef> refs;
  void add(linkRef ref) {
    std::lock_guard<std::mutex> lock(mutex);
    refs.push_back(ref);
  }
  std::vector<linkRef> snapshot() {
    std::lock_guard<std::mutex> lock(mutex);
    return refs;
  }
};

// One short-lived link: what its owner puts and feeds is all it holds.
// Returns the faults seen.
int OwnLink(uint8_t tag, std::atomic<linkRef>& live, GoneRefs& gone) {
  linkRef ref = aLink_CreateFed(aStream_Create(cbNoInput, cbTakeByte, cbTakeBytes, nullptr, nullptr));
  if (!ref)
    return 1;
  live = ref;
  int faults = 0;
  aPacket* own = aPacket_CreateWithData(0x02, 1, &tag);
  for (int i = 0; i < 3; i++)
    faults += aLink_PutPacket(ref, own) != aErrNone;
  aPacket_Destroy(&own);
  const uint8_t frame[] = {0x04, 0x02, 0x11, tag};
  faults += aLink_Receive(ref, frame, sizeof frame) != aErrNone;
  aPacket* in = aLink_GetPacket(ref);
  faults += !in || in->dataSize != 2 || in->data[1] != tag;
  aPacket_Destroy(&in);
  faults += aLink_GetOutgoingLength(ref) != 3;
  live = 0;
  linkRef kept = ref;
  faults += aLink_Destroy(&ref) != aErrNone;
  gone.add(kept);
  return faults;
}

// Every call through a destroyed link's reference must find nothing.
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

// Calls through references that may be destroyed meanwhile.
int PokeLive(linkRef ref) {
  aLinkStatus status = aLink_GetStatus(ref);
  int faults = status != aLinkStatusRunning && status != aLinkStatusNoStream;
  aLink_GetDropCount(ref);
  aPacket* none = aLink_AwaitFirst(ref, cbNothing, nullptr, 1);
  faults += none != nullptr;
  aPacket_Destroy(&none);
  faults += aLink_DrainPackets(ref, cbNothing, nullptr) != 0;
  return faults;
}

}  // namespace

// Links come and go by the ten thousand (more than the engine keeps places
// for at once, so that places are reused) while other threads call through
// the references of links already destroyed, and of links about to be: a
// stale reference never reaches a later link, and its calls return at once.
TEST(aLinkStress, StaleReferencesNeverReachALaterLink) {
  const int kOwners = 3;
  const int kRounds = 10000;
  GoneRefs gone;
  std::atomic<linkRef> live[kOwners];
  std::atomic<int> faults{0};
  std::atomic<int> ownersLeft{kOwners};
  std::vector<std::thread> threads;
  for (int t = 0; t < kOwners; t++) {
    live[t] = 0;
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; r++)
        faults += OwnLink(static_cast<uint8_t>(t * 64 + r % 64), live[t], gone);
      ownersLeft--;
    });
  }
  // One thread looks at every stale reference over and over, another calls
  // through the latest ones in every way.
  std::atomic<int> staleFaults{0};
  threads.emplace_back([&] {
    while (ownersLeft > 0)
      for (linkRef ref : gone.snapshot())
        staleFaults += aLink_GetStatus(ref) != aLinkStatusNoStream;
  });
  threads.emplace_back([&] {
    const uint8_t data = 0xEE;
    aPacket* packet = aPacket_CreateWithData(0x02, 1, &data);
    while (ownersLeft > 0) {
      std::vector<linkRef> refs = gone.snapshot();
      for (size_t i = refs.size() > 64 ? refs.size() - 64 : 0; i < refs.size(); i++)
        staleFaults += PokeGone(refs[i], packet);
    }
    aPacket_Destroy(&packet);
  });
  threads.emplace_back([&] {
    while (ownersLeft > 0)
      for (int t = 0; t < kOwners; t++)
        faults += PokeLive(live[t]);
  });
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(faults, 0);
  EXPECT_EQ(staleFaults, 0);
  EXPECT_EQ(gone.snapshot().size(), static_cast<size_t>(kOwners * kRounds));
}
