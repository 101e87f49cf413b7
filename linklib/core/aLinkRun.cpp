// The exchange thread: one per process, started with the first run. Each
// round it serves every run whose link's slot has come (its reply is taken
// in then, and its next request written at once), whose late reply has
// arrived, or whose reply timed out; then it sleeps until the earliest next
// slot, polling only the links whose reply is late. It holds one link's pump
// at a time, and only while serving that link.
#include "aLinkRun.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "aLinkPump.h"
#include "aTime.h"

namespace {

struct Run {
  const aLinkExchanges* exchanges = nullptr;
  aLink* link = nullptr;
  aPacket* request = nullptr;  // made, waiting for its slot
  bool awaiting = false;       // written, its answer not yet taken
  uint64_t deadlineUS = 0;     // of the answer awaited
  uint64_t slotUS = 0;         // the link's next slot
  uint64_t retryUS = 0;        // another thread held the pump: look again then
  int fd = -1;                 // polled while a late answer is awaited
  bool readable = false;
  aErr result = aErrNone;
  bool over = false;  // the exchange thread is done with it
  bool done = false;  // handed back (under sMutex)
  pthread_cond_t doneCond;  // signalled then, on the monotonic clock as deadlines are
};

pthread_mutex_t sMutex = PTHREAD_MUTEX_INITIALIZER;
// Never destroyed: the thread may still look at it while the process exits.
std::vector<Run*>& sIncoming = *new std::vector<Run*>();
int sWakeFd = -1;
pthread_once_t sOnce = PTHREAD_ONCE_INIT;
bool sStarted = false;

void sEnd(Run& run, aErr result) {
  if (run.request)
    aPacket_Destroy(&run.request);
  if (run.awaiting)
    run.exchanges->reply(run.exchanges->context, nullptr);
  run.awaiting = false;
  run.result = result;
  run.over = true;
}

// Takes the answer in, or notes that none came in time.
void sTakeAnswer(Run& run, uint64_t nowUS) {
  const aLinkExchanges* ex = run.exchanges;
  aPacket* answer = aLinkPump_TakeFirst(run.link, ex->answers, ex->context);
  if (!answer && nowUS < run.deadlineUS)
    return;
  run.awaiting = false;
  ex->reply(ex->context, answer);
  if (answer)
    aPacket_Destroy(&answer);
}

// One round of a run, with its link's pump held.
// `alone`: the only run going, whose frames may have the clock watched for
// them (see sWait).
void sServeHeld(Run& run, uint64_t nowUS, bool alone) {
  const aLinkExchanges* ex = run.exchanges;
  bool takenIn = aLinkPump_TakeIn(run.link);
  if (run.awaiting)
    sTakeAnswer(run, nowUS);
  if (!takenIn || !aLinkPump_Running(run.link)) {
    sEnd(run, aErrConnection);
    return;
  }
  if (!run.awaiting && !run.request) {
    run.request = ex->request(ex->context);
    if (!run.request) {
      sEnd(run, aErrNone);
      return;
    }
  }
  if (run.request) {
    // Frames queued by others (heartbeat answers) go first.
    aLinkPump_WriteQueued(run.link);
    if (alone)
      aLinkPump_Pace(run.link, aLinkPump_NextSlotUS(run.link));
    if (aLinkPump_WriteIfDue(run.link, run.request)) {
      aPacket_Destroy(&run.request);
      run.awaiting = true;
      run.deadlineUS = aTime_GetMonotonicUS() + ex->replyTimeoutMS * 1000u;
    }
  }
  run.slotUS = aLinkPump_NextSlotUS(run.link);
  run.fd = run.awaiting ? aLinkPump_Descriptor(run.link) : -1;
}

// Another thread holding the link's pump (its worker finishing a round, a
// stop) lets go soon; the other links are served meanwhile.
#define aLINKRUN_RETRY_US 200u

void sServe(Run& run, uint64_t nowUS, bool alone) {
  run.readable = false;
  aErr taken = aLinkPump_Take(run.link);
  run.retryUS = taken == aErrBusy ? nowUS + aLINKRUN_RETRY_US : 0;
  if (taken == aErrBusy)
    return;
  if (taken != aErrNone) {
    sEnd(run, aErrConnection);
    return;
  }
  sServeHeld(run, nowUS, alone);
  aLinkPump_Release(run.link);
}

// A late answer is one still awaited once the next slot has come: only then
// is the link's input watched.
bool sLate(const Run& run, uint64_t nowUS) { return run.awaiting && nowUS >= run.slotUS; }

uint64_t sWakeUS(const Run& run, uint64_t nowUS) {
  if (run.retryUS)
    return run.retryUS;
  if (!run.awaiting && !run.request)
    return nowUS;
  if (sLate(run, nowUS))
    return run.fd < 0 ? nowUS : run.deadlineUS;
  return run.awaiting ? std::min(run.slotUS, run.deadlineUS) : run.slotUS;
}

bool sDue(const Run& run, uint64_t nowUS) { return run.readable || sWakeUS(run, nowUS) <= nowUS; }

void sAdopt(std::vector<Run*>& runs) {
  pthread_mutex_lock(&sMutex);
  runs.insert(runs.end(), sIncoming.begin(), sIncoming.end());
  sIncoming.clear();
  pthread_mutex_unlock(&sMutex);
}

// A run handed back is gone as soon as its caller sees it done: it leaves
// the list before.
void sHandBack(std::vector<Run*>& runs) {
  auto over = std::stable_partition(runs.begin(), runs.end(), [](const Run* run) { return !run->over; });
  if (over == runs.end())
    return;
  std::vector<Run*> ended(over, runs.end());
  runs.erase(over, runs.end());
  pthread_mutex_lock(&sMutex);
  for (Run* run : ended) {
    run->done = true;
    pthread_cond_signal(&run->doneCond);
  }
  pthread_mutex_unlock(&sMutex);
}

void sDrainWake() {
  uint64_t count;
  ssize_t ignored = read(sWakeFd, &count, sizeof(count));
  (void)ignored;
}

// Sleeps until the earliest run is due, a late answer arrives or a new run
// comes. A single run with nothing to watch wakes near its slot, takes its
// answer in and makes its next request, and its write then waits out the
// rest of the slot watching the clock, as a lone caller does: that keeps one
// link's frames closest to their pace.
void sWait(std::vector<Run*>& runs, std::vector<struct pollfd>& fds) {
  uint64_t nowUS = aTime_GetMonotonicUS();
  uint64_t earliest = UINT64_MAX;
  fds.assign(1, pollfd{sWakeFd, POLLIN, 0});
  for (Run* run : runs) {
    earliest = std::min(earliest, sWakeUS(*run, nowUS));
    if (sLate(*run, nowUS) && run->fd >= 0)
      fds.push_back(pollfd{run->fd, POLLIN, 0});
  }
  if (earliest <= nowUS)
    return;
  if (runs.size() == 1 && fds.size() == 1) {
    aLinkPump_WakeNear(runs[0]->link, earliest);
    return;
  }
  struct timespec timeout = {0, 0};
  if (earliest != UINT64_MAX) {
    uint64_t waitUS = earliest - nowUS;
    timeout.tv_sec = static_cast<time_t>(waitUS / 1000000u);
    timeout.tv_nsec = static_cast<long>(waitUS % 1000000u) * 1000L;
  }
  if (ppoll(fds.data(), fds.size(), earliest == UINT64_MAX ? nullptr : &timeout, nullptr) <= 0)
    return;
  if (fds[0].revents)
    sDrainWake();
  for (size_t i = 1; i < fds.size(); i++)
    if (fds[i].revents)
      for (Run* run : runs)
        if (run->fd == fds[i].fd && sLate(*run, nowUS))
          run->readable = true;
}

void* sExchangeThread(void*) {
  aTime_SetPreciseSleeps();
  pthread_setname_np(pthread_self(), "link exchanges");
  std::vector<Run*> runs;
  std::vector<struct pollfd> fds;
  for (;;) {
    sAdopt(runs);
    uint64_t nowUS = aTime_GetMonotonicUS();
    // A single run woke near its slot (see sWait): it is served then.
    for (Run* run : runs)
      if (runs.size() == 1 || sDue(*run, nowUS))
        sServe(*run, nowUS, runs.size() == 1);
    sHandBack(runs);
    sWait(runs, fds);
  }
  return nullptr;
}

void sStart() {
  sWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (sWakeFd < 0)
    return;
  pthread_t thread;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  sStarted = pthread_create(&thread, &attributes, sExchangeThread, nullptr) == 0;
  pthread_attr_destroy(&attributes);
}

// Links without the pump (USB) run the exchanges on the caller's thread.
aErr sRunOnCaller(linkRef ref, const aLinkExchanges* ex) {
  uint64_t nextTickUS = aTime_GetMonotonicUS() + ex->tickMS * 1000u;
  for (;;) {
    aPacket* request = ex->request(ex->context);
    if (!request)
      return aErrNone;
    aErr err = aLink_PutPacket(ref, request);
    aPacket_Destroy(&request);
    if (err)
      return err;
    aPacket* answer = aLink_AwaitFirst(ref, ex->answers, ex->context, ex->replyTimeoutMS);
    ex->reply(ex->context, answer);
    if (answer)
      aPacket_Destroy(&answer);
    else if (aLink_GetStatus(ref) != aLinkStatusRunning)
      return aErrConnection;
    if (ex->tick && aTime_GetMonotonicUS() >= nextTickUS) {
      ex->tick(ex->context);
      nextTickUS = aTime_GetMonotonicUS() + ex->tickMS * 1000u;
    }
  }
}

void sAwaitDone(Run& run) {
  const aLinkExchanges* ex = run.exchanges;
  pthread_mutex_lock(&sMutex);
  while (!run.done) {
    if (!ex->tick) {
      pthread_cond_wait(&run.doneCond, &sMutex);
      continue;
    }
    struct timespec until = aDeadline_Timespec(aDeadline_In(ex->tickMS));
    if (pthread_cond_timedwait(&run.doneCond, &sMutex, &until) == ETIMEDOUT && !run.done) {
      pthread_mutex_unlock(&sMutex);
      ex->tick(ex->context);
      pthread_mutex_lock(&sMutex);
    }
  }
  pthread_mutex_unlock(&sMutex);
}

}  // namespace

aErr aLink_RunExchanges(linkRef ref, const aLinkExchanges* exchanges) {
  if (!exchanges || !exchanges->request || !exchanges->answers || !exchanges->reply)
    return aErrParam;
  bool pumped = false;
  aLink* link = nullptr;
  aErr pinned = aLinkPump_Pin(ref, &link, &pumped);
  if (pinned)
    return pinned;
  pthread_once(&sOnce, sStart);
  if (!pumped || !sStarted) {
    aLinkPump_Unpin(link);
    return sRunOnCaller(ref, exchanges);
  }
  Run run;
  run.exchanges = exchanges;
  run.link = link;
  pthread_condattr_t monotonic;
  pthread_condattr_init(&monotonic);
  pthread_condattr_setclock(&monotonic, CLOCK_MONOTONIC);
  pthread_cond_init(&run.doneCond, &monotonic);
  pthread_condattr_destroy(&monotonic);
  aLinkPump_Want(link, 1);
  pthread_mutex_lock(&sMutex);
  sIncoming.push_back(&run);
  pthread_mutex_unlock(&sMutex);
  uint64_t one = 1;
  ssize_t ignored = write(sWakeFd, &one, sizeof(one));
  (void)ignored;
  sAwaitDone(run);
  pthread_cond_destroy(&run.doneCond);
  aLinkPump_Want(link, -1);
  aLinkPump_Unpin(link);
  return run.result;
}
