// Link streams against lab modules that stream their sampler entity (command
// 0x13, indexes 0 and 1, option N streaming sample type N).
#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "Entity.h"
#include "LabModuleFixture.h"
#include "SystemClass.h"
#include "TestSupport.h"

using namespace Tessoral::Kovalink;
using objtest::LabModuleTest;

namespace {

const uint8_t kSampler = 0x13;
const uint8_t kAddress = 4;
const uint32_t kSerial = 0x0000BEEF;

// What the callbacks saw, filled on the stream worker.
struct Samples {
  std::mutex mutex;
  std::vector<aPacket> packets;
  std::set<std::thread::id> threads;
  std::atomic<unsigned> calls{0};
  std::atomic<bool> haveClock{false};
  clockid_t workerClock{};
  unsigned sleepMs = 0;
  std::atomic<bool> hold{false};  // callbacks wait while it is set

  static aErr Record(const aPacket* packet, void* reference) {
    Samples* self = static_cast<Samples*>(reference);
    {
      std::lock_guard<std::mutex> lock(self->mutex);
      self->packets.push_back(*packet);
      self->threads.insert(std::this_thread::get_id());
      if (!self->haveClock && pthread_getcpuclockid(pthread_self(), &self->workerClock) == 0)
        self->haveClock = true;
    }
    ++self->calls;
    while (self->hold)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (self->sleepMs)
      std::this_thread::sleep_for(std::chrono::milliseconds(self->sleepMs));
    return aErrNone;
  }
  std::set<std::pair<int, int>> typesAndSubindexes() {
    std::lock_guard<std::mutex> lock(mutex);
    std::set<std::pair<int, int>> seen;
    for (const aPacket& packet : packets) {
      Link::STREAM_PACKET type = Link::STREAM_PACKET_NONE;
      if (Link::getStreamPacketType(&packet, &type))
        seen.insert({type, Link::isSubindexType(type) ? packet.data[4] : 0});
    }
    return seen;
  }
};

bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 3000) {
  return testsupport::WaitUntil(condition, timeoutMs);
}

int ProcessThreads() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Threads:", 0) == 0)
      return std::stoi(line.substr(8));
  return -1;
}

}  // namespace

class StreamLabTest : public LabModuleTest {
protected:
  // Tells the module to stop streaming (option, index) of the sampler with a
  // raw stream command, behind the link's back: registrations and cache stay.
  aErr quieten(Link& link, uint8_t option, uint8_t index) {
    const uint8_t disable[] = {0x82, 0x20, kAddress, kSampler, option, index};
    aErr result = link.sendPacket(kAddress, 0x5D, sizeof(disable), disable);
    uint8_t match[] = {0x5D, 0xC2};
    uint8_t length = sizeof(match), reply[28];
    if (result == aErrNone)
      result = link.receivePacket(kAddress, match, &length, reply);
    // Samples sent before the module stopped are let through.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return result;
  }
  // Gets of the sampler entity that reached the module.
  size_t samplerGets() {
    size_t gets = 0;
    for (const auto& frame : received(kSerial, {kSampler}))
      gets += (frame.size() >= 2 && (frame[1] & 0x40)) ? 1 : 0;
    return gets;
  }
};

TEST_F(StreamLabTest, StreamedOptionsAreCachedAndCallbacksRunOnTheWorker) {
  serve({"serial=0000BEEF,address=4,port=9110,stream-ms=200"});
  Module& module = connect(9110, kAddress);
  Link& link = *module.getLink();
  EntityClass sampler;
  sampler.init(&module, kSampler, 0);

  // Before streaming, a get asks the module.
  uint32_t value = 0;
  ASSERT_EQ(sampler.getUEI32(3, &value), aErrNone);
  EXPECT_EQ(value & 0xFFFF0000u, 0x12340000u);
  const size_t asked = samplerGets();
  EXPECT_EQ(asked, 1u);

  const int threadsBefore = ProcessThreads();
  Samples samples;
  ASSERT_EQ(sampler.registerOptionCallback(0xFF, true, Samples::Record, &samples), aErrNone);
  uint8_t state = 0;
  ASSERT_EQ(link.isLinkStreaming(kAddress, &state), aErrNone);
  EXPECT_EQ(state, 1);

  // Every sample type arrives, subindexed ones for each subindex.
  const std::set<std::pair<int, int>> everyType = {{1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}, {5, 1}, {5, 2},
                                                   {6, 0}, {6, 1}, {6, 2}, {7, 0}, {7, 1}, {7, 2}};
  ASSERT_TRUE(WaitFor([&] { return samples.typesAndSubindexes() == everyType; }))
      << "types seen: " << samples.typesAndSubindexes().size();
  {
    std::lock_guard<std::mutex> lock(samples.mutex);
    ASSERT_EQ(samples.threads.size(), 1u);
    EXPECT_NE(*samples.threads.begin(), std::this_thread::get_id());
    for (const aPacket& packet : samples.packets) {
      uint64_t timestamp = 0;
      uint32_t sample = 0;
      uint8_t subindex = 0xEE;
      Link::STREAM_PACKET type = Link::STREAM_PACKET_NONE;
      Link::getStreamPacketType(&packet, &type);
      EXPECT_EQ(Link::getStreamSample(&packet, &timestamp, &sample, &subindex),
                type == Link::STREAM_PACKET_BYTES ? aErrSize : aErrNone);
      if (type != Link::STREAM_PACKET_BYTES) {
        EXPECT_NE(timestamp, 0u);
        EXPECT_EQ(subindex, Link::isSubindexType(type) ? packet.data[4] : 0);
      }
    }
  }

  // One cache entry per concrete key that streamed: byte-array packets carry no value.
  std::map<uint64_t, uint32_t> status;
  ASSERT_EQ(sampler.getStreamStatus(&status), aErrNone);
  std::set<uint64_t> keys;
  for (const auto& entry : status)
    keys.insert(entry.first);
  std::set<uint64_t> expected;
  for (uint8_t option : {1, 2, 3})
    expected.insert(Link::createStreamKey(kAddress, kSampler, option, 0, 0));
  for (uint8_t option : {5, 6, 7})
    for (uint8_t subindex : {0, 1, 2})
      expected.insert(Link::createStreamKey(kAddress, kSampler, option, 0, subindex));
  EXPECT_EQ(keys, expected);

  // Gets are answered from the cache, fresh once and then stale, without asking the module.
  const unsigned calls = samples.calls;
  ASSERT_TRUE(WaitFor([&] { return samples.calls > calls + 13; }));
  uint16_t fresh = 0, stale = 0;
  EXPECT_EQ(sampler.getUEI16(6, 2, &fresh), aErrNone);
  EXPECT_EQ(sampler.getUEI16(6, 2, &stale), aErrStreamStale);
  EXPECT_EQ(fresh, stale);
  EXPECT_EQ(fresh & 3, 2);  // the lab's values carry the subindex in their low bits
  EXPECT_EQ(sampler.getUEI32(3, &value), aErrNone);
  EXPECT_EQ(samplerGets(), asked);

  // The module falls quiet behind the link's back; the registration stays, and
  // the worker sleeps while nothing is queued.
  ASSERT_EQ(quieten(link, 0xFF, 0), aErrNone);
  ASSERT_TRUE(samples.haveClock);
  struct timespec before {}, after {};
  ASSERT_EQ(clock_gettime(samples.workerClock, &before), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  ASSERT_EQ(clock_gettime(samples.workerClock, &after), 0);
  const double cpuMs = (after.tv_sec - before.tv_sec) * 1e3 + (after.tv_nsec - before.tv_nsec) / 1e6;
  // 0.5 % of a core would be 5 ms.
  EXPECT_LT(cpuMs, 5.0);

  // Removing the last registration tells the module, empties the cache and ends the worker.
  ASSERT_EQ(sampler.registerOptionCallback(0xFF, true, Samples::Record, &samples), aErrNone);
  ASSERT_EQ(link.isLinkStreaming(kAddress, &state), aErrNone);
  EXPECT_EQ(state, 1);
  ASSERT_EQ(sampler.registerOptionCallback(0xFF, false, Samples::Record, &samples), aErrNone);
  ASSERT_EQ(link.isLinkStreaming(kAddress, &state), aErrNone);
  EXPECT_EQ(state, 0);
  ASSERT_EQ(sampler.getStreamStatus(&status), aErrNone);
  EXPECT_TRUE(status.empty());
  EXPECT_TRUE(WaitFor([&] { return ProcessThreads() == threadsBefore; }));
  ASSERT_EQ(sampler.getUEI32(3, &value), aErrNone);
  EXPECT_EQ(samplerGets(), asked + 1);
}

TEST_F(StreamLabTest, WildcardRegistrationCachesEveryConcreteKeyThatStreams) {
  serve({"serial=0000BEEF,address=4,port=9111,stream-ms=10"});
  Link& link = *connect(9111, kAddress).getLink();
  ASSERT_EQ(link.enableStream(kAddress, 0xFF, 0xFF, 0xFF, true), aErrNone);
  std::map<uint64_t, uint32_t> status;
  // Both indexes, options 1 to 3 once and 5 to 7 per subindex.
  EXPECT_TRUE(WaitFor([&] {
    link.getStreamStatus(kAddress, 0xFF, 0xFF, 0xFF, 0xFF, &status);
    return status.size() == 24;
  })) << status.size();
  for (const auto& entry : status) {
    EXPECT_EQ(Link::getStreamKeyElement(entry.first, Link::STREAM_KEY_ADDRESS), kAddress);
    EXPECT_EQ(Link::getStreamKeyElement(entry.first, Link::STREAM_KEY_COMMAND), kSampler);
  }
  // The registration itself is a key of the map, not a cached value.
  EXPECT_EQ(link.filterActiveStreamKeys(kAddress, 0xFF, 0xFF, 0xFF, 0xFF).size(), 25u);
  link.getStreamStatus(kAddress, kSampler, 0xFF, 1, 0xFF, &status);
  EXPECT_EQ(status.size(), 12u);

  // A stream packet for which nothing is registered any more still never reaches a reply wait.
  ASSERT_EQ(link.enableStream(kAddress, 0xFF, 0xFF, 0xFF, false), aErrNone);
  EXPECT_TRUE(link.filterActiveStreamKeys(kAddress, 0xFF, 0xFF, 0xFF, 0xFF).empty());
}

TEST_F(StreamLabTest, RefusedOrImpossibleRegistrationsLeaveNothingBehind) {
  serve({"serial=0000BEEF,address=4,port=9112,fault=stream-error:21,fault=no-reply:stream@3"});
  Link& link = *connect(9112, kAddress).getLink();
  Samples samples;
  EXPECT_EQ(link.registerStreamCallback(kAddress, kSampler, 1, 0, true, Samples::Record, &samples),
            aErrUnimplemented);
  EXPECT_TRUE(link.filterActiveStreamKeys(kAddress, 0xFF, 0xFF, 0xFF, 0xFF).empty());
  // The module has no such entity.
  EXPECT_EQ(link.registerStreamCallback(kAddress, 3, 1, 0, true, Samples::Record, &samples), aErrInvalidEntity);
  EXPECT_TRUE(link.filterActiveStreamKeys(kAddress, 0xFF, 0xFF, 0xFF, 0xFF).empty());
  // No answer at all.
  EXPECT_EQ(link.registerStreamCallback(kAddress, kSampler, 1, 0, true, Samples::Record, &samples), aErrTimeout);
  EXPECT_TRUE(link.filterActiveStreamKeys(kAddress, 0xFF, 0xFF, 0xFF, 0xFF).empty());
  // An odd address is never sent.
  const size_t streamCommands = received(kSerial, {0x5D}).size();
  EXPECT_EQ(link.registerStreamCallback(3, kSampler, 1, 0, true, Samples::Record, &samples), aErrParam);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(received(kSerial, {0x5D}).size(), streamCommands);
  EXPECT_EQ(samples.calls, 0u);
}

TEST_F(StreamLabTest, SamplesOfAWrongLengthReachCallbacksButNotTheCache) {
  serve({"serial=0000BEEF,address=4,port=9113,stream-ms=10,fault=sample-length"});
  Module& module = connect(9113, kAddress);
  EntityClass sampler;
  sampler.init(&module, kSampler, 0);
  Samples samples;
  ASSERT_EQ(sampler.registerOptionCallback(1, true, Samples::Record, &samples), aErrNone);
  ASSERT_TRUE(WaitFor([&] { return samples.calls >= 5; }));
  std::map<uint64_t, uint32_t> status;
  ASSERT_EQ(sampler.getStreamStatus(&status), aErrNone);
  EXPECT_TRUE(status.empty());
  {
    std::lock_guard<std::mutex> lock(samples.mutex);
    EXPECT_FALSE(Link::isStreamSample(&samples.packets.front()));
    EXPECT_EQ(Link::getStreamSample(&samples.packets.front(), nullptr, nullptr, nullptr), aErrPacket);
  }
  // Not cached, so the get goes to the module, and its reply is found among the samples.
  uint8_t value = 0;
  EXPECT_EQ(sampler.getUEI8(1, &value), aErrNone);
  EXPECT_EQ(samplerGets(), 1u);
}

// Samples many times faster than the callback can take them, while a run of
// ordinary exchanges as long as a firmware block goes on.
TEST_F(StreamLabTest, ABurstOfSamplesDuringRequestsLosesCallbacksNotReplies) {
  serve({"serial=0000BEEF,address=4,port=9114,stream-ms=2,fault=sample-burst:2"});
  Module& module = connect(9114, kAddress);
  Link& link = *module.getLink();
  // The first callback does not return until the end: everything else queues or is lost.
  Samples samples;
  samples.hold = true;
  ASSERT_EQ(link.registerStreamCallback(kAddress, kSampler, 3, 0xFF, true, Samples::Record, &samples), aErrNone);
  ASSERT_TRUE(WaitFor([&] { return samples.calls > 0; }));

  SystemClass system;
  system.init(&module, 0);
  for (int i = 0; i < 100; ++i) {
    uint32_t serial = 0;
    ASSERT_EQ(system.getSerialNumber(&serial), aErrNone) << "request " << i;
    EXPECT_EQ(serial, kSerial);
  }
  std::vector<uint8_t> block(1000);
  for (size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<uint8_t>(i * 13);
  ASSERT_EQ(link.loadStoreSlot(kAddress, 0, 0, block.data(), block.size()), aErrNone);
  std::vector<uint8_t> back(block.size() + 1);
  size_t count = 0;
  ASSERT_EQ(link.unloadStoreSlot(kAddress, 0, 0, back.data(), back.size(), &count), aErrNone);
  back.resize(count);
  EXPECT_EQ(back, block);

  ASSERT_TRUE(WaitFor([&] {
    uint64_t sentSoFar = 0;
    host->inspect(kSerial, [&](const lab::SimModule& m) { sentSoFar = m.streams().samplesSent(); });
    return sentSoFar > 600;
  }));
  // Stop the module's samples behind the link's back, so the cache keeps its last values.
  ASSERT_EQ(quieten(link, 3, 0xFF), aErrNone);

  uint64_t sent = 0;
  uint32_t rounds = 0;
  host->inspect(kSerial, [&](const lab::SimModule& m) {
    sent = m.streams().samplesSent();
    rounds = m.streams().rounds();
  });
  ASSERT_GT(sent, 600u);
  samples.hold = false;
  // The one callback that was held, then the 499 the queue holds; the rest were dropped.
  EXPECT_TRUE(WaitFor([&] { return samples.calls >= 500; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(samples.calls.load(), 500u);
  // The cache holds the last round's values all the same.
  for (uint8_t index : {0, 1}) {
    uint32_t cached = 0;
    EXPECT_EQ(link.getStreamValue(kAddress, kSampler, 3, index, 0, &cached), aErrNone);
    EXPECT_EQ(cached, 0x12340000u + (rounds - 1) * 16u + index * 4u);
  }
}

// Destroying a link whose worker is busy and whose module still streams.
TEST_F(StreamLabTest, DestroyingALinkWithStreamsRunningIsClean) {
  serve({"serial=0000BEEF,address=4,port=9115,stream-ms=1,fault=sample-burst:5"});
  for (int round = 0; round < 3; ++round) {
    Samples samples;
    samples.sleepMs = 1;
    {
      Module& module = connect(9115, kAddress);
      ASSERT_EQ(module.getLink()->enableStream(kAddress, kSampler, 0xFF, 0xFF, true), aErrNone);
      ASSERT_EQ(module.getLink()->registerStreamCallback(kAddress, kSampler, 2, 0, true, Samples::Record, &samples),
                aErrNone);
      ASSERT_TRUE(WaitFor([&] { return samples.calls > 3; }));
      modules.clear();
    }
    const unsigned after = samples.calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(samples.calls.load(), after);
  }
}
