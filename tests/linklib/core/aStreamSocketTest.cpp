// TCP streams and TCP/IP links. Everything runs inside a private network
// namespace that holds only loopback.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "LinkTestChannels.h"
#include "TestSupport.h"
#include "aLink.h"
#include "aStream.h"

using linktest::Bytes;
using linktest::ScriptedPeer;
using linktest::WaitUntil;

namespace {

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// A TCP listener on loopback that hands each accepted connection to a scripted module.
class Listener {
public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = kLoopback;
    socklen_t size = sizeof(a);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), size) != 0 || listen(fd_, 4) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size) != 0)
      ADD_FAILURE() << "no listener";
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~Listener() {
    stopListening();
    for (ScriptedPeer* m : modules_)
      delete m;
  }
  uint16_t port() const { return port_; }
  int accepted() { return accepted_; }
  // The module on the n-th connection (0-based), once it is there.
  ScriptedPeer* module(int n) {
    if (!WaitUntil([&] { return accepted_ > n; }, 2000))
      return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    return modules_[n];
  }
  void stopListening() {
    running_ = false;
    if (thread_.joinable())
      thread_.join();
    if (fd_ >= 0)
      close(fd_);
    fd_ = -1;
  }

private:
  void run() {
    while (running_) {
      struct pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, 5) <= 0)
        continue;
      int c = accept(fd_, nullptr, nullptr);
      if (c < 0)
        continue;
      std::lock_guard<std::mutex> lock(mutex_);
      modules_.push_back(new ScriptedPeer(ScriptedPeer::Channel{c}));
      accepted_++;
    }
  }
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> running_{true};
  std::atomic<int> accepted_{0};
  std::mutex mutex_;
  std::vector<ScriptedPeer*> modules_;
  std::thread thread_;
};

long ElapsedMs(std::chrono::steady_clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count());
}

#define REQUIRE_ROOT() \
  if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root for a private network namespace"

}  // namespace

TEST(aStreamSocket, ReadsPeekedBytesAndBoundsBlockedWrites) {
  REQUIRE_ROOT();
  linktest::RunInPrivateNetwork([] {
    aStream* stream = nullptr;
    EXPECT_EQ(aStream_CreateSocket(kLoopback, 1, &stream), aErrResource);
    EXPECT_EQ(stream, nullptr);
    Listener listener;
    ASSERT_EQ(aStream_CreateSocket(kLoopback, listener.port(), &stream), aErrNone);
    ScriptedPeer* peer = listener.module(0);
    ASSERT_NE(peer, nullptr);
    uint8_t bytes[3];
    EXPECT_EQ(aStream_Read(stream, bytes, 3), aErrNotReady);
    // The wait blocks while nothing comes and ends when bytes arrive.
    auto waitStart = std::chrono::steady_clock::now();
    EXPECT_EQ(aStream_AwaitReadable(stream, 100), aErrNotReady);
    EXPECT_GE(ElapsedMs(waitStart), 90);
    std::thread later([&] {
      WaitUntil([] { return false; }, 50);
      peer->send({1, 2, 3});
    });
    EXPECT_EQ(aStream_AwaitReadable(stream, 5000), aErrNone);
    later.join();
    ASSERT_TRUE(WaitUntil([&] { return aStream_Read(stream, bytes, 3) == aErrNone; }, 2000));
    EXPECT_EQ(bytes[2], 3);

    // A peer that stops reading: the write gives up after its counted retries.
    aStream* stalled = nullptr;
    int raw = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = kLoopback;
    socklen_t size = sizeof(a);
    ASSERT_EQ(bind(raw, reinterpret_cast<sockaddr*>(&a), size), 0);
    ASSERT_EQ(listen(raw, 1), 0);
    ASSERT_EQ(getsockname(raw, reinterpret_cast<sockaddr*>(&a), &size), 0);
    ASSERT_EQ(aStream_CreateSocket(kLoopback, ntohs(a.sin_port), &stalled), aErrNone);
    std::vector<uint8_t> big(16 << 20, 0x55);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aStream_Write(stalled, big.data(), big.size()), aErrBusy);
    long took = ElapsedMs(start);
    EXPECT_GE(took, 400);
    EXPECT_LT(took, 2000);
    aStream_Destroy(&stalled);
    close(raw);
    aStream_Destroy(&stream);
  });
}

TEST(aLinkTCPIP, PeerThatClosesIsNoticedAndReconnectedOrReported) {
  REQUIRE_ROOT();
  linktest::RunInPrivateNetwork([] {
    Listener listener;
    linkRef ref = aLink_CreateTCPIP(kLoopback, listener.port());
    ASSERT_NE(ref, 0u);
    ScriptedPeer* first = listener.module(0);
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(first->waitFor({0xAF, 0x01, 0x01}, 2000));
    ASSERT_TRUE(WaitUntil([&] { return aLink_GetStatus(ref) == aLinkStatusRunning; }, 2000));

    // An orderly close while the module can still be reached: a new connection.
    first->drop();
    ScriptedPeer* second = listener.module(1);
    ASSERT_NE(second, nullptr);
    second->send({0x02, 0x02, 0x00, 0x04});
    ASSERT_TRUE(second->waitFor({0x02, 0x02, 0x00, 0x06}, 2000));
    EXPECT_EQ(aLink_GetStatus(ref), aLinkStatusRunning);

    // The module is gone for good (as after a reboot): the link reports it.
    listener.stopListening();
    second->drop();
    EXPECT_TRUE(WaitUntil([&] { return aLink_GetStatus(ref) == aLinkStatusIOError; }, 2000));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
    EXPECT_LT(ElapsedMs(start), 500);
    EXPECT_EQ(listener.accepted(), 2);
  });
}

TEST(aLinkTCPIP, ResetConnectsAgainAndIsRefusedWhileTheTableIsHeld) {
  REQUIRE_ROOT();
  linktest::RunInPrivateNetwork([] {
    Listener a, b;
    linkRef toA = aLink_CreateTCPIP(kLoopback, a.port());
    linkRef toB = aLink_CreateTCPIP(kLoopback, b.port());
    ASSERT_NE(toA, 0u);
    ASSERT_NE(toB, 0u);
    EXPECT_NE(toA, toB);
    // The same module again shares the link; no second connection.
    linkRef again = aLink_CreateTCPIP(kLoopback, a.port());
    EXPECT_EQ(again, toA);
    EXPECT_EQ(aLink_Destroy(&again), aErrNone);
    EXPECT_EQ(aLink_CreateTCPIP(kLoopback, 1), 0u);

    ASSERT_EQ(aLink_Reset(toA), aErrNone);
    ScriptedPeer* renewed = a.module(1);
    ASSERT_NE(renewed, nullptr);
    ASSERT_TRUE(renewed->waitFor({0xAF, 0x01, 0x01}, 2000));
    ASSERT_TRUE(a.module(0)->waitFor({0xAF, 0x01, 0x00}, 2000));
    EXPECT_EQ(a.accepted(), 2);

    // B's module vanishes: its reset keeps trying (and holds the table) for 2 s.
    b.stopListening();
    std::atomic<int> result{-1};
    std::thread resetter([&] { result = aLink_Reset(toB); });
    WaitUntil([] { return false; }, 200);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_Reset(toA), aErrBusy);
    EXPECT_LT(ElapsedMs(start), 50);
    resetter.join();
    EXPECT_EQ(result, aErrResource);  // the socket stream's creation failure
    EXPECT_EQ(aLink_GetStatus(toB), aLinkStatusNoStream);
    aPacket* packet = aPacket_Create();
    EXPECT_NE(aLink_PutPacket(toB, packet), aErrNone);
    aPacket_Destroy(&packet);
    EXPECT_EQ(aLink_AwaitPacket(toB, 10), nullptr);
    EXPECT_EQ(aLink_Destroy(&toB), aErrNone);
    EXPECT_EQ(aLink_GetStatus(toA), aLinkStatusRunning);
    EXPECT_EQ(aLink_Destroy(&toA), aErrNone);
  });
}

TEST(aLinkTCPIP, ReaderAndWriterReconnectOnlyOnce) {
  REQUIRE_ROOT();
  linktest::RunInPrivateNetwork([] {
    Listener listener;
    linkRef ref = aLink_CreateTCPIP(kLoopback, listener.port());
    ASSERT_NE(ref, 0u);
    ScriptedPeer* first = listener.module(0);
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(first->waitFor({0xAF, 0x01, 0x01}, 2000));
    // Keep the writer busy while the connection is reset under both workers.
    std::atomic<bool> sending{true};
    std::thread writer([&] {
      const uint8_t data[1] = {1};
      aPacket* p = aPacket_CreateWithData(0x02, 1, data);
      while (sending) {
        aLink_PutPacket(ref, p);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      aPacket_Destroy(&p);
    });
    WaitUntil([] { return false; }, 30);
    first->drop();
    ASSERT_NE(listener.module(1), nullptr);
    WaitUntil([] { return false; }, 200);
    sending = false;
    writer.join();
    EXPECT_EQ(listener.accepted(), 2);
    EXPECT_EQ(aLink_GetStatus(ref), aLinkStatusRunning);
    aLink_Destroy(&ref);
  });
}
