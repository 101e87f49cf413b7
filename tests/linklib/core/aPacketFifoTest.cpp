#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "aPacketFifo.h"
#include "aPacketLog.h"

namespace {

aPacket* Numbered(uint8_t n) {
  const uint8_t data[1] = {n};
  return aPacket_CreateWithData(0x02, 1, data);
}

void PutNumbered(aPacketFifoId fifo, uint8_t n) {
  aPacket* p = Numbered(n);
  EXPECT_EQ(aPacketFifo_Put(fifo, p), aErrNone);
  aPacket_Destroy(&p);
}

bool cbEven(const aPacket* packet, void*) { return packet->data[0] % 2 == 0; }

// A packet naming the FIFO it is put to.
aPacket* Tagged(aPacketFifoId fifo) {
  return aPacket_CreateWithData(0x02, sizeof(fifo), reinterpret_cast<const uint8_t*>(&fifo));
}

aPacketFifoId TagOf(const aPacket* packet) {
  aPacketFifoId fifo = 0;
  memcpy(&fifo, packet->data, sizeof(fifo));
  return fifo;
}

bool cbStray(const aPacket* packet, void* fifo) { return TagOf(packet) != *static_cast<aPacketFifoId*>(fifo); }

}  // namespace

// A full FIFO gives up its oldest unclaimed packets, never the newest: that
// one may be the reply a caller waits for behind a queue of strays.
TEST(aPacketFifo, OverfullFifoDropsTheOldestAndOrderIsKept) {
  aPacketFifoId fifo = aPacketFifo_Create();
  ASSERT_NE(fifo, 0u);
  for (uint8_t i = 1; i <= 20; i++)
    PutNumbered(fifo, i);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 20);
  PutNumbered(fifo, 21);
  PutNumbered(fifo, 22);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 20);
  aPacket* p = aPacketFifo_Get(fifo);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data[0], 3);
  aPacket_Destroy(&p);
  p = aPacketFifo_GetFirst(fifo, [](const aPacket* packet, void*) { return packet->data[0] == 22; }, nullptr);
  ASSERT_NE(p, nullptr);
  aPacket_Destroy(&p);
  while ((p = aPacketFifo_Get(fifo)) != nullptr)
    aPacket_Destroy(&p);

  for (uint8_t i = 1; i <= 6; i++)
    PutNumbered(fifo, i);
  p = aPacketFifo_GetFirst(fifo, cbEven, nullptr);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data[0], 2);
  aPacket_Destroy(&p);
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo, cbEven, nullptr), 2u);
  for (uint8_t expected : {1, 3, 5}) {
    p = aPacketFifo_Get(fifo);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->data[0], expected);
    aPacket_Destroy(&p);
  }
  EXPECT_EQ(aPacketFifo_Get(fifo), nullptr);
  // The tail is fixed up after removals: appending still works.
  PutNumbered(fifo, 9);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 1);

  aPacket invalid = {};
  EXPECT_EQ(aPacketFifo_Put(fifo, &invalid), aErrParam);
  aPacketFifoId copy = fifo;
  EXPECT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
  EXPECT_EQ(fifo, 0u);
  EXPECT_EQ(aPacketFifo_Destroy(&copy), aErrNotFound);
  p = Numbered(1);
  EXPECT_EQ(aPacketFifo_Put(copy, p), aErrParam);
  aPacket_Destroy(&p);
  EXPECT_EQ(aPacketFifo_GetLength(copy), -1);
  EXPECT_EQ(aPacketFifo_Await(copy, 10), nullptr);
  EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
}

TEST(aPacketFifo, WaitersWakeOnArrivalTimeoutAndDestroy) {
  aPacketFifoId fifo = aPacketFifo_Create();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aPacketFifo_Await(fifo, 50), nullptr);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));

  // Two waiters after different packets both get theirs.
  aPacket* odd = nullptr;
  aPacket* even = nullptr;
  std::thread a([&] { odd = aPacketFifo_AwaitFirst(fifo, [](const aPacket* p, void*) { return p->data[0] % 2 == 1; }, nullptr, 3000); });
  std::thread b([&] { even = aPacketFifo_AwaitFirst(fifo, cbEven, nullptr, 3000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  PutNumbered(fifo, 2);
  PutNumbered(fifo, 3);
  a.join();
  b.join();
  ASSERT_NE(odd, nullptr);
  ASSERT_NE(even, nullptr);
  EXPECT_EQ(odd->data[0], 3);
  EXPECT_EQ(even->data[0], 2);
  aPacket_Destroy(&odd);
  aPacket_Destroy(&even);

  // Destroying the FIFO releases a waiter at once.
  aPacket* got = nullptr;
  std::atomic<bool> returned{false};
  std::thread waiter([&] {
    got = aPacketFifo_Await(fifo, 5000);
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
  waiter.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(got, nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

// Puts wake the waiters after letting go of the FIFO; a destroy racing them
// must still free the FIFO only once no put is inside (the sanitizer builds
// see a late wake-up on freed memory). Every put after the destroy fails.
TEST(aPacketFifo, DestroyRacingPutsAndWaiters) {
  for (int round = 0; round < 30; round++) {
    aPacketFifoId fifo = aPacketFifo_Create();
    ASSERT_NE(fifo, 0u);
    aPacket* stray = reinterpret_cast<aPacket*>(1);
    std::thread waiter([&] { stray = aPacketFifo_AwaitFirst(fifo, [](const aPacket*, void*) { return false; }, nullptr, 3000); });
    std::atomic<int> refused{0};
    auto putter = [&] {
      aPacket* p = Numbered(1);
      while (aPacketFifo_Put(fifo, p) == aErrNone) {
      }
      refused++;
      aPacket_Destroy(&p);
    };
    std::thread one(putter), two(putter);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    aPacketFifoId doomed = fifo;
    EXPECT_EQ(aPacketFifo_Destroy(&doomed), aErrNone);
    one.join();
    two.join();
    waiter.join();
    EXPECT_EQ(refused.load(), 2);
    EXPECT_EQ(stray, nullptr);
  }
}

// Threads create and destroy FIFOs, put through every id on a board, live or
// stale (its record carries another FIFO by now), and wait inside FIFOs as
// they are destroyed: a packet comes out of its own FIFO only, and no id is
// handed out twice.
TEST(aPacketFifo, ConcurrentLifecyclesKeepPacketsInTheirFifo) {
  const int kWorkers = 3, kBatch = 100;
  static std::atomic<aPacketFifoId> board[kWorkers * kBatch];
  std::vector<aPacketFifoId> made[kWorkers];
  std::atomic<bool> done{false};
  std::atomic<int> misplaced{0}, failed{0};
  auto put = [](aPacketFifoId fifo) {
    aPacket* packet = Tagged(fifo);
    aErr err = aPacketFifo_Put(fifo, packet);
    aPacket_Destroy(&packet);
    return err;
  };
  auto worker = [&](int w) {
    for (int round = 0; round < 100; round++) {
      int batch = 1 + (round * 37 + w * 11) % kBatch;
      for (int i = 0; i < batch; i++) {
        made[w].push_back(board[w * kBatch + i] = aPacketFifo_Create());
        failed += put(made[w].back()) != aErrNone;
      }
      for (auto& other : board)
        put(other);
      for (int i = 0; i < batch; i++) {  // the id stays on the board, stale
        aPacketFifoId fifo = board[w * kBatch + i];
        for (aPacket* packet; (packet = aPacketFifo_Get(fifo)) != nullptr; aPacket_Destroy(&packet))
          misplaced += TagOf(packet) != fifo;
        failed += aPacketFifo_Destroy(&fifo) != aErrNone;
      }
    }
  };
  // Waits for a packet put to another FIFO, so it stays inside until the FIFO goes.
  auto waiter = [&] {
    for (unsigned i = 0; !done; i = (i + 13) % (kWorkers * kBatch), std::this_thread::yield()) {
      aPacketFifoId fifo = board[i];
      aPacket* stray = aPacketFifo_AwaitFirst(fifo, cbStray, &fifo, 1000);
      misplaced += stray != nullptr;
      aPacket_Destroy(&stray);
    }
  };
  std::thread workers[kWorkers] = {std::thread(worker, 0), std::thread(worker, 1), std::thread(worker, 2)};
  std::thread one(waiter), two(waiter);
  for (std::thread& t : workers)
    t.join();
  done = true;
  one.join();
  two.join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(misplaced.load(), 0);
  std::set<aPacketFifoId> unique;
  for (auto& ids : made)
    unique.insert(ids.begin(), ids.end());
  EXPECT_EQ(unique.size(), made[0].size() + made[1].size() + made[2].size());
}

TEST(aPacketLog, RingDropsOldestAndRefusesOversizedRecords) {
  uint8_t bytes[20] = {0};
  aPacketLog* small = aPacketLog_Create(16);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(aPacketLog_Record(small, 3, 15, bytes), aErrOverrun);
  EXPECT_EQ(aPacketLog_Record(small, 3, 14, bytes), aErrOverrun);
  EXPECT_EQ(aPacketLog_Record(small, 3, 13, bytes), aErrNone);
  aPacketLog_Destroy(&small);
  EXPECT_EQ(small, nullptr);

  aPacketLog* log = aPacketLog_Create(32);
  for (uint8_t n = 1; n <= 5; n++) {
    memset(bytes, n, 10);
    ASSERT_EQ(aPacketLog_Record(log, 1, 10, bytes), aErrNone);
  }
  uint8_t kind = 0;
  uint8_t out[16];
  for (uint8_t expected : {4, 5}) {
    uint32_t length = sizeof(out);
    ASSERT_EQ(aPacketLog_Take(log, &kind, &length, out), aErrNone);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(out[0], expected);
    EXPECT_EQ(out[9], expected);
  }
  uint32_t length = sizeof(out);
  EXPECT_EQ(aPacketLog_Take(log, &kind, &length, out), aErrNotFound);
  aPacketLog_Destroy(&log);
  EXPECT_EQ(aPacketLog_Create(0x4000001), nullptr);
}
