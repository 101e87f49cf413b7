#include "PacedFleet.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "PacedExchange.h"
#include "aTime.h"

namespace bench {

namespace {

const uint16_t kFleetEchoPort = 9191;
const size_t kFrameBytes = 30;
const uint64_t kPaceUS = 1000;

// Adds a thread's CPU time to the sum of all links' threads.
void sAddCpu(std::atomic<double>* sum, double us) {
  for (double seen = sum->load(); !sum->compare_exchange_weak(seen, seen + us);) {
  }
}

// Answers every link from one epoll loop until all of them have gone.
void sEcho(int listener, int links, double* cpuUs) {
  int epoll = epoll_create1(0);
  struct epoll_event event = {EPOLLIN, {}};
  std::vector<int> fds;
  for (int i = 0; i < links; i++) {
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) break;
    event.data.fd = fd;
    epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
    fds.push_back(fd);
  }
  double before = ThreadCpuUs();
  std::vector<struct epoll_event> ready(fds.size() + 1);
  char buffer[256];
  for (size_t open = fds.size(); open > 0;) {
    int n = epoll_wait(epoll, ready.data(), static_cast<int>(ready.size()), -1);
    for (int i = 0; i < n; i++) {
      ssize_t got = recv(ready[i].data.fd, buffer, sizeof(buffer), MSG_DONTWAIT);
      if (got > 0)
        send(ready[i].data.fd, buffer, static_cast<size_t>(got), MSG_NOSIGNAL | MSG_DONTWAIT);
      else if (got == 0 && epoll_ctl(epoll, EPOLL_CTL_DEL, ready[i].data.fd, nullptr) == 0)
        open--;
    }
  }
  *cpuUs = ThreadCpuUs() - before;
  for (int fd : fds) close(fd);
  close(epoll);
}

// A thread a link, one wake-up a frame where it can: while replies come
// before the next frame's slot it sleeps until the slot and then takes the
// reply in; while they come later it waits for the reply and sends at once.
void sLinkThread(int fd, size_t frames, std::atomic<double>* cpuUs) {
  aTime_SetPreciseSleeps();
  char frame[kFrameBytes] = {0x02, kFrameBytes - 2};
  char reply[256];
  double before = ThreadCpuUs();
  uint64_t slot = aTime_GetMonotonicUS();
  bool late = false;
  for (size_t i = 0; i < frames; i++) {
    if (i > 0) {
      if (!late) aTime_SleepUntilMonotonicUS(slot);
      ssize_t n = late ? -1 : recv(fd, reply, sizeof(reply), MSG_DONTWAIT);
      if (n < 0) {
        n = recv(fd, reply, sizeof(reply), 0);
        late = aTime_GetMonotonicUS() >= slot;
      }
      if (n <= 0) break;
      aTime_SleepUntilMonotonicUS(slot);
    }
    slot = aTime_GetMonotonicUS() + kPaceUS;
    send(fd, frame, sizeof(frame), MSG_NOSIGNAL);
  }
  recv(fd, reply, sizeof(reply), 0);
  sAddCpu(cpuUs, ThreadCpuUs() - before);
}

struct LinkState {
  int fd = -1;
  uint64_t slot = 0;
  bool awaiting = false;
  size_t sent = 0;
};

// An epoll set of every link's socket, each event carrying the link's index.
int sWatchLinks(const std::vector<LinkState>& links) {
  int epoll = epoll_create1(0);
  for (size_t i = 0; i < links.size(); i++) {
    struct epoll_event event = {EPOLLIN, {}};
    event.data.u64 = i;
    epoll_ctl(epoll, EPOLL_CTL_ADD, links[i].fd, &event);
  }
  return epoll;
}

// Sends every link's next frame whose reply is in and whose pace has come;
// the soonest slot still ahead, or 0.
uint64_t sSendDue(std::vector<LinkState>& links, size_t frames) {
  char frame[kFrameBytes] = {0x02, kFrameBytes - 2};
  uint64_t now = aTime_GetMonotonicUS(), next = 0;
  for (LinkState& link : links) {
    if (link.awaiting || link.sent == frames) continue;
    if (link.slot <= now) {
      send(link.fd, frame, sizeof(frame), MSG_NOSIGNAL | MSG_DONTWAIT);
      link.slot = now + kPaceUS;
      link.awaiting = true;
      link.sent++;
    } else if (next == 0 || link.slot < next) {
      next = link.slot;
    }
  }
  return next;
}

// One thread for every link: an epoll loop that wakes for replies or for the
// soonest slot.
void sEventLoop(std::vector<LinkState>& links, size_t frames, double* cpuUs) {
  aTime_SetPreciseSleeps();
  int epoll = sWatchLinks(links);
  double before = ThreadCpuUs();
  std::vector<struct epoll_event> ready(links.size());
  char reply[256];
  for (size_t done = 0; done < links.size();) {
    uint64_t next = sSendDue(links, frames);
    uint64_t now = aTime_GetMonotonicUS();
    uint64_t waitUS = next == 0 ? 100000 : next > now ? next - now : 0;
    struct timespec timeout = {static_cast<time_t>(waitUS / 1000000), static_cast<long>(waitUS % 1000000) * 1000};
    int n = epoll_pwait2(epoll, ready.data(), static_cast<int>(ready.size()), &timeout, nullptr);
    for (int i = 0; i < n; i++) {
      LinkState& link = links[ready[i].data.u64];
      if (recv(link.fd, reply, sizeof(reply), MSG_DONTWAIT) > 0 && link.awaiting) {
        link.awaiting = false;
        done += link.sent == frames;
      }
    }
  }
  *cpuUs = ThreadCpuUs() - before;
  close(epoll);
}

// A link whose thread is woken by the I/O thread when its reply is in.
struct Handoff {
  std::mutex mutex;
  std::condition_variable replied;
  bool in = false;
};

// The I/O thread: takes every reply in and wakes the link's thread.
void sTakeReplies(const std::vector<LinkState>& links, std::vector<std::unique_ptr<Handoff>>& handoffs,
                  const std::atomic<int>& finished, double* cpuUs) {
  int epoll = sWatchLinks(links);
  double before = ThreadCpuUs();
  std::vector<struct epoll_event> ready(links.size());
  char reply[256];
  while (finished.load() < static_cast<int>(links.size())) {
    int n = epoll_wait(epoll, ready.data(), static_cast<int>(ready.size()), 10);
    for (int i = 0; i < n; i++) {
      size_t at = ready[i].data.u64;
      if (recv(links[at].fd, reply, sizeof(reply), MSG_DONTWAIT) <= 0) continue;
      Handoff& handoff = *handoffs[at];
      std::lock_guard<std::mutex> lock(handoff.mutex);
      handoff.in = true;
      handoff.replied.notify_one();
    }
  }
  *cpuUs = ThreadCpuUs() - before;
  close(epoll);
}

// A link's own thread beside the I/O thread: waits to be woken with its
// reply, then for the pace, and sends.
void sHandedLink(int fd, Handoff* handoff, size_t frames, std::atomic<double>* cpuUs, std::atomic<int>* finished) {
  aTime_SetPreciseSleeps();
  char frame[kFrameBytes] = {0x02, kFrameBytes - 2};
  double before = ThreadCpuUs();
  uint64_t slot = aTime_GetMonotonicUS();
  for (size_t i = 0; i <= frames; i++) {
    if (i > 0) {
      std::unique_lock<std::mutex> lock(handoff->mutex);
      handoff->replied.wait(lock, [handoff] { return handoff->in; });
      handoff->in = false;
    }
    if (i == frames) break;
    aTime_SleepUntilMonotonicUS(slot);
    slot = aTime_GetMonotonicUS() + kPaceUS;
    send(fd, frame, sizeof(frame), MSG_NOSIGNAL);
  }
  sAddCpu(cpuUs, ThreadCpuUs() - before);
  finished->fetch_add(1);
}

double sHandedLinks(std::vector<LinkState>& links, size_t frames) {
  std::vector<std::unique_ptr<Handoff>> handoffs;
  for (size_t i = 0; i < links.size(); i++) handoffs.emplace_back(new Handoff);
  std::atomic<double> sum{0};
  std::atomic<int> finished{0};
  double ioUs = 0;
  std::thread io(sTakeReplies, std::cref(links), std::ref(handoffs), std::cref(finished), &ioUs);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < links.size(); i++)
    threads.emplace_back(sHandedLink, links[i].fd, handoffs[i].get(), frames, &sum, &finished);
  for (std::thread& thread : threads) thread.join();
  io.join();
  return sum.load() + ioUs;
}

double sThreadPerLink(const std::vector<LinkState>& links, size_t frames) {
  std::atomic<double> sum{0};
  std::vector<std::thread> threads;
  for (const LinkState& link : links) threads.emplace_back(sLinkThread, link.fd, frames, &sum);
  for (std::thread& thread : threads) thread.join();
  return sum.load();
}

}  // namespace

PacedFleetFigures MeasurePacedFleet(const testsupport::LabNetwork& net, int links, size_t frames, FleetDesign design) {
  PacedFleetFigures figures;
  int listener = ListenInLab(net, kFleetEchoPort, links);
  if (listener < 0 || links < 1 || frames == 0) {
    if (listener >= 0) close(listener);
    return figures;
  }
  double echoUs = 0;
  std::thread echo(sEcho, listener, links, &echoUs);
  std::vector<LinkState> states(static_cast<size_t>(links));
  for (LinkState& state : states) state.fd = ConnectFromProgram(net, kFleetEchoPort);
  bool connected = std::all_of(states.begin(), states.end(), [](const LinkState& s) { return s.fd >= 0; });
  if (!connected) shutdown(listener, SHUT_RDWR);
  uint64_t start = aTime_GetMonotonicUS();
  double cpuUs = 0;
  if (connected && design == FleetDesign::OneThread)
    sEventLoop(states, frames, &cpuUs);
  else if (connected && design == FleetDesign::ThreadPerLink)
    cpuUs = sThreadPerLink(states, frames);
  else if (connected)
    cpuUs = sHandedLinks(states, frames);
  uint64_t took = aTime_GetMonotonicUS() - start;
  for (LinkState& state : states)
    if (state.fd >= 0) close(state.fd);
  echo.join();
  close(listener);
  const double sent = static_cast<double>(frames) * links;
  figures.ok = connected;
  figures.ratio = static_cast<double>(frames) * kPaceUS / static_cast<double>(took);
  figures.cpuUsPerFrame = cpuUs / sent;
  figures.echoUsPerFrame = echoUs / sent;
  return figures;
}

}  // namespace bench
