#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

#include "LinkTestChannels.h"
#include "aLink.h"
#include "aLinkRun.h"

using linktest::Bytes;
using linktest::ScriptedPeer;

namespace {

// Requests {0x11, i} for i below `count`; each answer is the request's own
// bytes sent back, recorded as i (-1 when none came).
struct Numbered {
  int count = 0;
  int next = 0;
  std::vector<int> answers;
  std::atomic<int> ticks{0};
};

aPacket* cbRequest(void* context) {
  Numbered* run = static_cast<Numbered*>(context);
  if (run->next == run->count)
    return nullptr;
  const uint8_t data[2] = {0x11, static_cast<uint8_t>(run->next++)};
  return aPacket_CreateWithData(0x02, 2, data);
}

bool cbAnswers(const aPacket* packet, void* context) {
  const Numbered* run = static_cast<const Numbered*>(context);
  return packet->dataSize == 2 && packet->data[0] == 0x11 && packet->data[1] == static_cast<uint8_t>(run->next - 1);
}

void cbReply(void* context, const aPacket* answer) {
  static_cast<Numbered*>(context)->answers.push_back(answer ? answer->data[1] : -1);
}

void cbTick(void* context) { static_cast<Numbered*>(context)->ticks++; }

aLinkExchanges Exchanges(Numbered& run, unsigned long replyTimeoutMS) {
  aLinkExchanges ex;
  ex.request = cbRequest;
  ex.answers = cbAnswers;
  ex.reply = cbReply;
  ex.tick = cbTick;
  ex.context = &run;
  ex.replyTimeoutMS = replyTimeoutMS;
  ex.tickMS = 50;
  return ex;
}

long OwnWaits() {
  struct rusage usage {};
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_nvcsw;
}

int ThreadsNamed(const std::string& wanted) {
  int count = 0;
  DIR* tasks = opendir("/proc/self/task");
  while (dirent* entry = tasks ? readdir(tasks) : nullptr) {
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string name;
    if (entry->d_name[0] != '.' && std::getline(comm, name) && name == wanted)
      count++;
  }
  if (tasks)
    closedir(tasks);
  return count;
}

long ElapsedMs(std::chrono::steady_clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count());
}

}  // namespace

// Eight TCP/IP links run their exchanges at once: each request gets its own
// answer, in order, and goes out once the one before is answered; one
// shared thread moves them all while each caller sleeps, woken by its ticks
// and the end only, not by every frame.
TEST(aLinkRun, ManyLinksExchangeAtOnceOnOneSharedThread) {
  const int kLinks = 8;
  const int kRequests = 100;
  std::vector<std::unique_ptr<ScriptedPeer>> peers;
  std::vector<linkRef> refs;
  for (int i = 0; i < kLinks; i++) {
    peers.emplace_back(new ScriptedPeer());
    peers.back()->setResponder(ScriptedPeer::Echo(0x02));
    refs.push_back(aLink_CreateTCPIP(ScriptedPeer::LoopbackAddress(), peers.back()->port()));
    ASSERT_NE(refs.back(), 0u);
  }
  std::vector<Numbered> runs(kLinks);
  std::vector<aErr> results(kLinks, aErrUnknown);
  std::vector<long> waits(kLinks, 0);
  std::vector<long> tookMs(kLinks, 0);
  std::vector<std::thread> callers;
  for (int i = 0; i < kLinks; i++) {
    runs[i].count = kRequests;
    callers.emplace_back([&, i] {
      aLinkExchanges ex = Exchanges(runs[i], 1000);
      long before = OwnWaits();
      auto start = std::chrono::steady_clock::now();
      results[i] = aLink_RunExchanges(refs[i], &ex);
      tookMs[i] = ElapsedMs(start);
      waits[i] = OwnWaits() - before;
    });
  }
  for (std::thread& caller : callers)
    caller.join();
  EXPECT_EQ(ThreadsNamed("link exchanges"), 1);
  std::vector<int> expected;
  for (int n = 0; n < kRequests; n++)
    expected.push_back(n);
  for (int i = 0; i < kLinks; i++) {
    EXPECT_EQ(results[i], aErrNone) << "link " << i;
    EXPECT_EQ(runs[i].answers, expected) << "link " << i;
    EXPECT_LT(waits[i], runs[i].ticks + kRequests / 10) << "link " << i;
    EXPECT_LE(runs[i].ticks, tookMs[i] / 50 + 1) << "link " << i;
    testsupport::Frame frame;
    for (int n = 0; n < kRequests; n++) {
      ASSERT_TRUE(peers[i]->nextFrame(&frame)) << "link " << i;
      EXPECT_EQ(frame.data, (Bytes{0x11, static_cast<uint8_t>(n)})) << "link " << i;
    }
  }
  for (linkRef& ref : refs)
    aLink_Destroy(&ref);
}

// An unanswered request is answered with nothing after its time-out and the
// run goes on; a heartbeat arriving meanwhile is answered; a link destroyed
// under a run ends it at once; bad calls are refused.
TEST(aLinkRun, TimeOutsHeartbeatsAndStops) {
  ScriptedPeer peer;
  peer.setResponder([](const testsupport::Frame& frame) -> Bytes {
    if (frame.data.size() != 2 || frame.data[0] != 0x11 || frame.data[1] == 2)
      return {};
    Bytes bytes = frame.data[1] == 3 ? Bytes{0x02, 0x02, 0x00, 0x01} : Bytes{};
    Bytes answer = {0x02, 0x02, 0x11, frame.data[1]};
    bytes.insert(bytes.end(), answer.begin(), answer.end());
    return bytes;
  });
  linkRef ref = aLink_CreateTCPIP(ScriptedPeer::LoopbackAddress(), peer.port());
  ASSERT_NE(ref, 0u);
  Numbered run;
  run.count = 5;
  aLinkExchanges ex = Exchanges(run, 200);
  EXPECT_EQ(aLink_RunExchanges(ref, &ex), aErrNone);
  EXPECT_EQ(run.answers, (std::vector<int>{0, 1, -1, 3, 4}));
  EXPECT_TRUE(peer.waitFor({0x02, 0x02, 0x00, 0x03}, 2000));

  Numbered endless;
  endless.count = 100000;
  aErr ended = aErrNone;
  std::thread caller([&] {
    aLinkExchanges forever = Exchanges(endless, 1000);
    ended = aLink_RunExchanges(ref, &forever);
  });
  ASSERT_TRUE(peer.waitFor({0x02, 0x02, 0x11, 0x14}, 2000));
  auto start = std::chrono::steady_clock::now();
  linkRef gone = ref;
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
  caller.join();
  EXPECT_LT(ElapsedMs(start), 1000);
  EXPECT_EQ(ended, aErrConnection);
  EXPECT_LT(endless.answers.size(), 1000u);

  EXPECT_EQ(aLink_RunExchanges(gone, &ex), aErrParam);
  aLinkExchanges missing = ex;
  missing.answers = nullptr;
  EXPECT_EQ(aLink_RunExchanges(gone, &missing), aErrParam);
}
