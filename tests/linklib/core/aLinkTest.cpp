#include <gtest/gtest.h>

#include <atomic>
#include <stdint.h>
#include <chrono>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <mutex>
#include <poll.h>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "LinkTestChannels.h"
#include "aLink.h"

using linktest::Bytes;
using linktest::ScriptedPeer;
using linktest::WaitUntil;

namespace {

// A running link over a socketpair, the module scripted on the other end.
struct PairLink {
  linkRef ref = 0;
  ScriptedPeer* module = nullptr;
  PairLink() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
      return;
    module = new ScriptedPeer(ScriptedPeer::Channel{fds[1]});
    ref = aLink_Create(linktest::SocketPairStream(fds[0]));
  }
  ~PairLink() {
    if (ref)
      aLink_Destroy(&ref);
    delete module;
  }
};

bool cbCommandIs(const aPacket* packet, void* reference) {
  return packet->dataSize > 0 && packet->data[0] == *static_cast<uint8_t*>(reference);
}

bool cbCountAndKeep(const aPacket*, void* reference) {
  (*static_cast<int*>(reference))++;
  return false;
}

int Queued(linkRef ref) {
  int count = 0;
  aLink_DrainPackets(ref, cbCountAndKeep, &count);
  return count;
}

struct FilterLog {
  int calls = 0;
  uint8_t swallow = 0x10;  // heartbeat value the filter consumes
};

bool cbSwallowHeartbeat(const aPacket* packet, void* reference) {
  FilterLog* log = static_cast<FilterLog*>(reference);
  log->calls++;
  return packet->dataSize == 2 && packet->data[0] == 0 && packet->data[1] == log->swallow;
}

long ElapsedMs(std::chrono::steady_clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count());
}

// A transport where nothing ever arrives: it records when each write begins
// and ends, and counts how often the reader looks for input and waits for it.
// The write numbered `heldWrite` is held up for 600 us.
struct Recorder {
  std::mutex mutex;
  size_t heldWrite = SIZE_MAX;
  std::vector<double> startsMs;
  std::vector<double> endsMs;
  std::vector<Bytes> writes;
  std::atomic<int> gets{0};
  std::atomic<int> waits{0};
};

double MonotonicMs() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

aErr cbRecordGet(uint8_t*, void* reference) {
  static_cast<Recorder*>(reference)->gets++;
  return aErrNotReady;
}
aErr cbRecordWait(unsigned long timeoutMS, void* reference) {
  static_cast<Recorder*>(reference)->waits++;
  poll(nullptr, 0, static_cast<int>(timeoutMS));
  return aErrNotReady;
}
aErr cbRecordWrite(const uint8_t* bytes, size_t length, void* reference) {
  Recorder* r = static_cast<Recorder*>(reference);
  double now = MonotonicMs();
  std::lock_guard<std::mutex> lock(r->mutex);
  if (r->writes.size() == r->heldWrite)
    std::this_thread::sleep_for(std::chrono::microseconds(600));
  r->startsMs.push_back(now);
  r->endsMs.push_back(MonotonicMs());
  r->writes.push_back(Bytes(bytes, bytes + length));
  return aErrNone;
}
aErr cbRecordPut(uint8_t byte, void* reference) { return cbRecordWrite(&byte, 1, reference); }

double ThreadCpuMs() {
  struct timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

// The link engine's worker threads of this process.
std::set<int> Workers() {
  std::set<int> tids;
  DIR* tasks = opendir("/proc/self/task");
  while (dirent* entry = tasks ? readdir(tasks) : nullptr) {
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string name;
    if (entry->d_name[0] != '.' && std::getline(comm, name) && name == "link worker")
      tids.insert(atoi(entry->d_name));
  }
  if (tasks)
    closedir(tasks);
  return tids;
}

// Times the threads gave up the CPU to wait.
long Switches(const std::set<int>& tids) {
  long total = 0;
  for (int tid : tids) {
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
        total += atol(line.substr(line.find(':') + 1).c_str());
  }
  return total;
}

long OwnWaits() {
  struct rusage usage {};
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_nvcsw;
}

// Request and reply, `count` times; the times the engine's threads and the
// caller waited, per exchange (-1 when a reply did not come).
double WakeUpsPerExchange(linkRef ref, const std::set<int>& engine, int count) {
  long engineBefore = Switches(engine);
  long ownBefore = OwnWaits();
  for (int i = 0; i < count; i++) {
    const uint8_t data[2] = {0x11, static_cast<uint8_t>(i)};
    aPacket* request = aPacket_CreateWithData(0x02, 2, data);
    aErr put = aLink_PutPacket(ref, request);
    aPacket_Destroy(&request);
    uint8_t command = 0x11;
    aPacket* reply = put ? nullptr : aLink_AwaitFirst(ref, cbCommandIs, &command, 2000);
    bool same = reply && reply->data[1] == static_cast<uint8_t>(i);
    aPacket_Destroy(&reply);
    if (!same)
      return -1;
  }
  return static_cast<double>(Switches(engine) - engineBefore + OwnWaits() - ownBefore) / count;
}

}  // namespace

// A request's reply reaches the caller waiting for it without a thread of the
// engine waking it, frames flowing cost about one wake-up each, also from a
// module whose replies come only after the next frame's slot, and an idle
// link sleeps; a packet queued meanwhile, and a stop, still end its sleep at once.
TEST(aLink, RequestsCostOneWakeUpAFrameAndAnIdleLinkSleeps) {
  ScriptedPeer module;
  module.setResponder(ScriptedPeer::Echo(0x02));
  linkRef ref = aLink_CreateTCPIP(ScriptedPeer::LoopbackAddress(), module.port());
  ASSERT_NE(ref, 0u);
  const std::set<int> engine = Workers();
  ASSERT_FALSE(engine.empty());

  // Three threads took turns before (sender, receiver, caller): three a frame.
  // Now the caller alone waits, once a frame, and the worker rests.
  double perFrame = WakeUpsPerExchange(ref, engine, 200);
  EXPECT_GT(perFrame, 0);
  EXPECT_LT(perFrame, 1.5);
  // A slow module: waiting for the slot first would cost a second wake-up.
  ScriptedPeer::Responder echo = ScriptedPeer::Echo(0x02);
  module.setResponder([echo](const testsupport::Frame& frame) {
    std::this_thread::sleep_for(std::chrono::microseconds(1500));
    return echo(frame);
  });
  perFrame = WakeUpsPerExchange(ref, engine, 100);
  EXPECT_GT(perFrame, 0);
  EXPECT_LT(perFrame, 1.5);
  // Replies late and early by turns (a module among many on a busy host): a
  // request whose reply came before its slot is still written by its caller,
  // not queued for another thread.
  auto turn = std::make_shared<std::atomic<int>>(0);
  module.setResponder([echo, turn](const testsupport::Frame& frame) {
    std::this_thread::sleep_for(std::chrono::microseconds((*turn)++ % 2 ? 200 : 1500));
    return echo(frame);
  });
  perFrame = WakeUpsPerExchange(ref, engine, 100);
  EXPECT_GT(perFrame, 0);
  EXPECT_LT(perFrame, 2.4);
  module.setResponder(echo);

  // The last frame's slot passes; from then on the link waits for input alone.
  WaitUntil([] { return false; }, 20);
  long idleBefore = Switches(engine);
  WaitUntil([] { return false; }, 600);
  EXPECT_LE(Switches(engine) - idleBefore, 8);

  // Two packets at once: the first leaves at once, the second a pace later.
  auto start = std::chrono::steady_clock::now();
  for (uint8_t i = 0; i < 2; i++) {
    const uint8_t data[2] = {0x12, i};
    aPacket* packet = aPacket_CreateWithData(0x02, 2, data);
    ASSERT_EQ(aLink_PutPacket(ref, packet), aErrNone);
    aPacket_Destroy(&packet);
  }
  uint8_t command = 0x12;
  for (int i = 0; i < 2; i++) {
    aPacket* reply = aLink_AwaitFirst(ref, cbCommandIs, &command, 2000);
    ASSERT_NE(reply, nullptr);
    aPacket_Destroy(&reply);
  }
  EXPECT_LT(ElapsedMs(start), 150);
  WaitUntil([] { return false; }, 50);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
  EXPECT_LT(ElapsedMs(start), 150);
}

TEST(aLink, StartFrameFirstAndStopFrameLastOverSerial) {
  linktest::Pty pty;
  ASSERT_TRUE(pty.open());
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.slavePath.c_str(), 6, 0, 0, 0, &stream), aErrNone);
  ScriptedPeer module(ScriptedPeer::Channel{dup(pty.master)});
  linkRef ref = aLink_Create(stream);
  ASSERT_NE(ref, 0u);
  ASSERT_TRUE(WaitUntil([&] { return aLink_GetStatus(ref) == aLinkStatusRunning; }, 2000));

  // Heartbeats from the module arrive before the host sends anything else.
  module.send({0x04, 0x02, 0x00, 0x05});
  ASSERT_TRUE(module.waitFor({0x04, 0x02, 0x00, 0x07}, 2000));
  const uint8_t data[3] = {0x09, 0x01, 0x02};
  aPacket* packet = aPacket_CreateWithData(0x04, 3, data);
  ASSERT_EQ(aLink_PutPacket(ref, packet), aErrNone);
  aPacket_Destroy(&packet);
  ASSERT_TRUE(module.waitFor({0x04, 0x03, 0x09, 0x01, 0x02}, 2000));

  linkRef copy = ref;
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
  EXPECT_EQ(ref, 0u);
  ASSERT_TRUE(module.waitFor({0xAF, 0x01, 0x00}, 2000));
  Bytes wire = module.wire();
  ASSERT_GE(wire.size(), 6u);
  EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 3), (Bytes{0xAF, 0x01, 0x01}));
  EXPECT_EQ(Bytes(wire.end() - 3, wire.end()), (Bytes{0xAF, 0x01, 0x00}));
  EXPECT_EQ(linktest::Count(wire, {0xAF, 0x01}), 2u);
  // The reference is gone for good.
  EXPECT_EQ(aLink_GetStatus(copy), aLinkStatusNoStream);
  EXPECT_EQ(aLink_Destroy(&copy), aErrParam);
  EXPECT_EQ(aLink_PutPacket(copy, nullptr), aErrParam);
  EXPECT_EQ(aLink_GetPacket(copy), nullptr);
  EXPECT_EQ(aLink_DrainPackets(copy, cbCountAndKeep, nullptr), 0u);
}

TEST(aLink, AnswersHeartbeatsUnlessTheUserFilterTakesThem) {
  PairLink link;
  ASSERT_NE(link.ref, 0u);
  ScriptedPeer& module = *link.module;
  ASSERT_TRUE(module.waitFor({0xAF, 0x01, 0x01}, 2000));

  module.send({0x02, 0x02, 0x00, 0x01, 0x02, 0x02, 0x00, 0xFF});
  ASSERT_TRUE(module.waitFor({0x02, 0x02, 0x00, 0x03}, 2000));
  ASSERT_TRUE(module.waitFor({0x02, 0x02, 0x00, 0x01}, 2000));  // 0xFF + 2 wraps
  EXPECT_EQ(aLink_GetPacket(link.ref), nullptr);

  FilterLog filter;
  ASSERT_EQ(aLink_InstallUserPacketFilter(link.ref, cbSwallowHeartbeat, &filter), aErrNone);
  module.send({0x02, 0x02, 0x00, 0x10, 0x02, 0x02, 0x00, 0x11, 0x02, 0x03, 0x07, 0x08, 0x09});
  ASSERT_TRUE(module.waitFor({0x02, 0x02, 0x00, 0x13}, 2000));
  ASSERT_TRUE(WaitUntil([&] { return Queued(link.ref) == 1; }, 2000));
  // Frames are handled in order, so the consumed heartbeat would have been
  // answered before the one after it.
  EXPECT_EQ(linktest::Count(module.wire(), {0x02, 0x02, 0x00, 0x12}), 0u);
  EXPECT_EQ(filter.calls, 3);
  aPacket* packet = aLink_GetPacket(link.ref);
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(packet->address, 0x02);
  EXPECT_EQ(packet->dataSize, 3);
  EXPECT_EQ(packet->data[2], 0x09);
  aPacket_Destroy(&packet);

  ASSERT_EQ(aLink_InstallUserPacketFilter(link.ref, nullptr, nullptr), aErrNone);
  module.send({0x02, 0x02, 0x00, 0x10});
  ASSERT_TRUE(module.waitFor({0x02, 0x02, 0x00, 0x12}, 2000));
  EXPECT_EQ(filter.calls, 3);
  EXPECT_EQ(aLink_InstallUserPacketFilter(0xFFFFFF, nullptr, nullptr), aErrParam);
}

TEST(aLink, ResynchronisesAfterABadByte) {
  PairLink link;
  ASSERT_NE(link.ref, 0u);
  ScriptedPeer& module = *link.module;
  const Bytes burst = {0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0};
  ASSERT_TRUE(module.waitFor({0xAF, 0x01, 0x01}, 2000));
  ASSERT_TRUE(WaitUntil([&] { return aLink_GetStatus(link.ref) == aLinkStatusRunning; }, 2000));

  // An odd byte where an address is expected.
  module.send({0x03});
  ASSERT_TRUE(module.waitFor(burst, 2000));
  ASSERT_TRUE(WaitUntil([&] { return aLink_GetStatus(link.ref) == aLinkStatusSyncing; }, 2000));
  // Waiting for a reply on a link out of step gives up at once.
  uint8_t any = 1;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aLink_AwaitFirst(link.ref, cbCommandIs, &any, 1000), nullptr);
  EXPECT_LT(ElapsedMs(start), 200);

  module.send({0x04, 0x00, 0x04, 0x00});
  ASSERT_TRUE(WaitUntil([&] { return aLink_GetStatus(link.ref) == aLinkStatusRunning; }, 2000));
  EXPECT_EQ(Queued(link.ref), 0);

  // Half a frame with a length above 28 is dropped. Then a second address
  // breaks the pair: state 1, and the next byte sends a new burst.
  module.send({0x02, 0x1D});
  ASSERT_TRUE(module.waitFor(burst, 2000, 2));
  module.send({0x04, 0x00, 0x06});
  WaitUntil([] { return false; }, 30);
  EXPECT_EQ(linktest::Count(module.wire(), burst), 2u);
  module.send({0x00});
  ASSERT_TRUE(module.waitFor(burst, 2000, 3));
  EXPECT_EQ(aLink_GetStatus(link.ref), aLinkStatusSyncing);

  // A module that answers its address queries brings the link back by itself.
  module.setAddress(0x04);
  module.setAnswerQueries(true);
  module.send({0x01, 0x01});
  ASSERT_TRUE(WaitUntil([&] { return aLink_GetStatus(link.ref) == aLinkStatusRunning; }, 2000));
  module.send({0x04, 0x02, 0x05, 0x06});
  uint8_t five = 5;
  aPacket* packet = aLink_AwaitFirst(link.ref, cbCommandIs, &five, 2000);
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(packet->data[1], 0x06);
  aPacket_Destroy(&packet);
}

TEST(aLink, AwaitFirstWaitsWithoutSpinningAndKeepsOrder) {
  PairLink link;
  ASSERT_NE(link.ref, 0u);
  ScriptedPeer& module = *link.module;
  module.send({0x02, 0x01, 0x01, 0x02, 0x01, 0x02, 0x02, 0x01, 0x03});
  ASSERT_TRUE(WaitUntil([&] { return Queued(link.ref) == 3; }, 2000));

  uint8_t missing = 0x7E;
  double cpu = ThreadCpuMs();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aLink_AwaitFirst(link.ref, cbCommandIs, &missing, 300), nullptr);
  long waited = ElapsedMs(start);
  EXPECT_GE(waited, 290);
  EXPECT_LT(waited, 1000);
  // Non-matching packets are not rescanned over and over while waiting.
  EXPECT_LT(ThreadCpuMs() - cpu, 50.0);

  // A match that arrives later ends the wait at once.
  std::thread late([&] {
    WaitUntil([] { return false; }, 50);
    module.send({0x02, 0x01, 0x7E});
  });
  start = std::chrono::steady_clock::now();
  aPacket* packet = aLink_AwaitFirst(link.ref, cbCommandIs, &missing, 3000);
  late.join();
  ASSERT_NE(packet, nullptr);
  EXPECT_LT(ElapsedMs(start), 1500);
  aPacket_Destroy(&packet);

  for (uint8_t expected = 1; expected <= 3; expected++) {
    packet = aLink_AwaitPacket(link.ref, 100);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->data[0], expected);
    aPacket_Destroy(&packet);
  }
  EXPECT_EQ(aLink_AwaitPacket(link.ref, 20), nullptr);
}

TEST(aLink, PacketLogRecordsTrafficAndHonoursItsSize) {
  PairLink link;
  ASSERT_NE(link.ref, 0u);
  uint8_t kind = 0;
  uint32_t length = 64;
  uint8_t buffer[64];
  EXPECT_EQ(aLink_PacketDebug_Read(link.ref, &kind, &length, buffer), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_Write(link.ref, 3, 1, buffer), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_Disable(link.ref), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.ref, 0x4000001), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(0xFFFFFF, 100), aErrParam);
  ASSERT_EQ(aLink_PacketDebug_SetLogSize(link.ref, 4096), aErrNone);
  ASSERT_EQ(aLink_PacketDebug_Enable(link.ref), aErrNone);
  EXPECT_EQ(aLink_PacketDebug_Await(link.ref, 20), aErrTimeout);
  EXPECT_EQ(aLink_PacketDebug_Await(0xFFFFFF, 20), aErrParam);
  // The reader sleeps until a record comes, however long the bound.
  std::thread writer([&] {
    WaitUntil([] { return false; }, 30);
    const uint8_t mark = '!';
    aLink_PacketDebug_Write(link.ref, 3, 1, &mark);
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aLink_PacketDebug_Await(link.ref, 5000), aErrNone);
  EXPECT_LT(ElapsedMs(start), 2500);
  writer.join();
  EXPECT_EQ(aLink_PacketDebug_Await(link.ref, 10), aErrTimeout);
  uint32_t markLength = sizeof(buffer);
  ASSERT_EQ(aLink_PacketDebug_Read(link.ref, &kind, &markLength, buffer), aErrNone);
  EXPECT_EQ(kind, 3);
  EXPECT_TRUE(aLink_PacketDebug_IsEnabled(link.ref));
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.ref, 100), aErrBusy);

  link.module->send({0x02, 0x01, 0x42});
  const uint8_t data[2] = {0x11, 0x22};
  aPacket* packet = aPacket_CreateWithData(0x02, 2, data);
  aLink_PutPacket(link.ref, packet);
  aPacket_Destroy(&packet);
  ASSERT_TRUE(link.module->waitFor({0x02, 0x02, 0x11, 0x22}, 2000));
  ASSERT_TRUE(WaitUntil([&] { return Queued(link.ref) == 1; }, 2000));

  std::vector<std::pair<uint8_t, Bytes>> records;
  WaitUntil([&] {
    length = sizeof(buffer);
    if (aLink_PacketDebug_Read(link.ref, &kind, &length, buffer) == aErrNone)
      records.push_back({kind, Bytes(buffer, buffer + length)});
    return records.size() >= 2;
  }, 2000);
  ASSERT_EQ(records.size(), 2u);
  for (auto& record : records) {
    if (record.first == 2)
      EXPECT_EQ(record.second, (Bytes{0x02, 0x01, 0x42}));
    else
      EXPECT_EQ(record, (std::pair<uint8_t, Bytes>{1, {0x02, 0x02, 0x11, 0x22}}));
  }

  // A record larger than the caller's buffer stays for a later read.
  const uint8_t note[5] = {'h', 'e', 'l', 'l', 'o'};
  ASSERT_EQ(aLink_PacketDebug_Write(link.ref, 3, 5, note), aErrNone);
  length = 4;
  EXPECT_EQ(aLink_PacketDebug_Read(link.ref, &kind, &length, buffer), aErrOverrun);
  EXPECT_EQ(length, 5u);
  length = sizeof(buffer);
  ASSERT_EQ(aLink_PacketDebug_Read(link.ref, &kind, &length, buffer), aErrNone);
  EXPECT_EQ(kind, 3);
  EXPECT_EQ(Bytes(buffer, buffer + length), Bytes(note, note + 5));
  EXPECT_EQ(aLink_PacketDebug_Read(link.ref, &kind, &length, buffer), aErrNotFound);
  EXPECT_EQ(aLink_PacketDebug_Write(link.ref, 3, 256, buffer), aErrParam);
  ASSERT_EQ(aLink_PacketDebug_Disable(link.ref), aErrNone);
  EXPECT_FALSE(aLink_PacketDebug_IsEnabled(link.ref));
  // Disabling wakes the reader so that it can be stopped at once.
  EXPECT_EQ(aLink_PacketDebug_Await(link.ref, 5000), aErrNone);
}

TEST(aLink, CallerStreamLinksAreNotResetAndStreamlessLinksFail) {
  PairLink link;
  ASSERT_NE(link.ref, 0u);
  EXPECT_EQ(aLink_Reset(link.ref), aErrParam);
  EXPECT_EQ(aLink_GetStatus(link.ref), aLinkStatusRunning);
  EXPECT_EQ(aLink_Reset(0xFFFFFF), aErrParam);
  EXPECT_EQ(aLink_Create(nullptr), 0u);
  // References are never reused.
  PairLink other;
  EXPECT_GT(other.ref, link.ref);
}

TEST(aLink, FedLinkAssemblesAcrossCallsAndResynchronisesWithoutPausing) {
  Recorder wire;
  linkRef ref = aLink_CreateFed(aStream_Create(cbRecordGet, cbRecordPut, cbRecordWrite, nullptr, &wire));
  ASSERT_NE(ref, 0u);
  EXPECT_EQ(aLink_GetStatus(ref), aLinkStatusRunning);

  // A frame split over two calls, then a heartbeat: answered, never queued.
  const uint8_t head[] = {0x04, 0x03, 0x11};
  const uint8_t tail[] = {0x22, 0x33, 0x04, 0x02, 0x00, 0x07};
  ASSERT_EQ(aLink_Receive(ref, head, sizeof head), aErrNone);
  EXPECT_EQ(aLink_GetPacket(ref), nullptr);
  ASSERT_EQ(aLink_Receive(ref, tail, sizeof tail), aErrNone);
  aPacket* packet = aLink_GetPacket(ref);
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(packet->dataSize, 3);
  EXPECT_EQ(packet->data[2], 0x33);
  aPacket_Destroy(&packet);
  EXPECT_EQ(aLink_GetPacket(ref), nullptr);
  // No start frame, and the answer waits in the queue: nothing writes it.
  EXPECT_TRUE(wire.writes.empty());

  // An odd address byte: one burst at once, then syncing until "A 0 A 0".
  const Bytes burst = {0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0};
  const uint8_t odd = 0x03;
  ASSERT_EQ(aLink_Receive(ref, &odd, 1), aErrNone);
  ASSERT_EQ(wire.writes.size(), 1u);
  EXPECT_EQ(wire.writes[0], burst);
  EXPECT_EQ(aLink_GetStatus(ref), aLinkStatusSyncing);
  const uint8_t answers[] = {0x04, 0x00, 0x04, 0x00, 0x04, 0x01, 0x09};
  ASSERT_EQ(aLink_Receive(ref, answers, sizeof answers), aErrNone);
  EXPECT_EQ(aLink_GetStatus(ref), aLinkStatusRunning);
  packet = aLink_GetPacket(ref);
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(packet->data[0], 0x09);
  aPacket_Destroy(&packet);

  // Noise starts a burst with nearly every byte; fed bytes have no module to
  // wait for, so 199 bursts take far less than the 400 ms their pauses would.
  const std::vector<uint8_t> noise(200, 0x01);
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(aLink_Receive(ref, noise.data(), noise.size()), aErrNone);
  EXPECT_LT(ElapsedMs(start), 200);
  EXPECT_EQ(wire.writes.size(), 200u);
  EXPECT_EQ(aLink_GetStatus(ref), aLinkStatusSyncing);

  // Bytes of a link with workers come from its stream alone.
  PairLink threaded;
  ASSERT_NE(threaded.ref, 0u);
  EXPECT_EQ(aLink_Receive(threaded.ref, &odd, 1), aErrBusy);
  EXPECT_EQ(aLink_Receive(0xFFFFFF, &odd, 1), aErrParam);
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
  EXPECT_EQ(aLink_CreateFed(nullptr), 0u);
}

TEST(aLink, WorkersBlockWhenIdleAndFramesStartAPaceApart) {
  Recorder recorder;
  recorder.heldWrite = 8;
  aStream* stream = aStream_Create(cbRecordGet, cbRecordPut, cbRecordWrite, nullptr, &recorder);
  ASSERT_EQ(aStream_SetWait(stream, cbRecordWait), aErrNone);
  linkRef ref = aLink_Create(stream);
  ASSERT_NE(ref, 0u);
  // Idle, the reader waits on the stream between two looks instead of polling it.
  WaitUntil([] { return false; }, 200);
  EXPECT_LT(recorder.gets.load(), 50);
  EXPECT_LE(recorder.gets.load(), recorder.waits.load() + 1);

  // Packets queued all at once still go out a pace apart, in order, the stop
  // frame too, and the stop does not wait long for the reader.
  for (uint8_t i = 0; i < 15; i++) {
    aPacket* packet = aPacket_CreateWithData(0x02, 1, &i);
    aLink_PutPacket(ref, packet);
    aPacket_Destroy(&packet);
  }
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    return recorder.writes.size() == 16;
  }, 2000));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
  EXPECT_LT(ElapsedMs(start), 500);
  ASSERT_EQ(recorder.writes.size(), 17u);
  EXPECT_EQ(recorder.writes.front(), (Bytes{0xAF, 0x01, 0x01}));
  EXPECT_EQ(recorder.writes.back(), (Bytes{0xAF, 0x01, 0x00}));
  for (uint8_t i = 0; i < 15; i++)
    EXPECT_EQ(recorder.writes[i + 1u], (Bytes{0x02, 0x01, i}));
  // The engine reads its clock just before it writes; a thread preempted in
  // between may shift one start a little, hence the small margin.
  for (size_t i = 1; i < recorder.startsMs.size(); i++)
    EXPECT_GE(recorder.startsMs[i] - recorder.startsMs[i - 1], 0.95) << "frame " << i;
  // A frame may leave as late as the end of a write that was held up; the next
  // one still starts a full pace after that.
  EXPECT_GE(recorder.startsMs[9] - recorder.endsMs[8], 0.95);
}

TEST(aLink, PeerThatGoesAwayIsReportedAndTheLinkStillCloses) {
  linktest::Pty pty;
  ASSERT_TRUE(pty.open());
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.slavePath.c_str(), 6, 0, 0, 0, &stream), aErrNone);
  linkRef ref = aLink_Create(stream);
  ASSERT_NE(ref, 0u);
  ASSERT_TRUE(WaitUntil([&] { return aLink_GetStatus(ref) == aLinkStatusRunning; }, 2000));
  pty.closeMaster();
  EXPECT_TRUE(WaitUntil([&] { return aLink_GetStatus(ref) == aLinkStatusIOError; }, 2000));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
  EXPECT_LT(ElapsedMs(start), 500);
}

// A reset holds up the callers of its own link, which then see the link
// running again, but not the callers of other links.
TEST(aLink, ResetHoldsUpOnlyItsOwnLinksCallers) {
  ScriptedPeer module;
  linkRef ref = aLink_CreateTCPIP(ScriptedPeer::LoopbackAddress(), module.port());
  ASSERT_NE(ref, 0u);
  PairLink other;
  ASSERT_NE(other.ref, 0u);
  // Reconnecting fails for a while: the reset lasts over a second.
  module.refuseFor(1200);
  aErr reset = aErrBusy;
  std::thread resetter([&] {
    while (reset == aErrBusy)
      reset = aLink_Reset(ref);
  });
  // A reset of a link over a caller's stream is refused at once, unless the
  // link table is held: then the reset above is under way.
  ASSERT_TRUE(WaitUntil([&] { return aLink_Reset(other.ref) == aErrBusy; }, 2000));
  aLinkStatus seen = aLinkStatusStopped;
  std::thread caller([&] { seen = aLink_GetStatus(ref); });
  EXPECT_EQ(aLink_GetStatus(other.ref), aLinkStatusRunning);
  EXPECT_EQ(aLink_GetDropCount(other.ref), 0u);
  EXPECT_EQ(aLink_Reset(other.ref), aErrBusy);
  resetter.join();
  caller.join();
  EXPECT_EQ(reset, aErrNone);
  EXPECT_EQ(seen, aLinkStatusRunning);
  EXPECT_GE(aLink_GetDropCount(ref), 1u);
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
}
