// What the bench's own child processes cost and hold, read from /proc: the CPU of a
// long-running child (the lab) and, sampled while a child runs, the most threads and
// open descriptors it had at once.
#pragma once
#include <atomic>
#include <string>
#include <thread>

namespace bench {

// The pid of this process's child whose command name is `name`, or -1.
int ChildPid(const std::string& name);
// User + system seconds of a running process (0 when it is gone).
double ProcessCpuSeconds(int pid);

// Samples every few milliseconds the children named `name` until stopped.
class PeakWatch {
public:
  explicit PeakWatch(const std::string& name);
  ~PeakWatch();
  PeakWatch(const PeakWatch&) = delete;
  PeakWatch& operator=(const PeakWatch&) = delete;
  void stop();
  int threads() const { return threads_; }
  int descriptors() const { return descriptors_; }

private:
  std::string name_;
  std::atomic<bool> running_{true};
  std::atomic<int> threads_{0};
  std::atomic<int> descriptors_{0};
  std::thread thread_;
};

}  // namespace bench
