#include "ProcessWatch.h"

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace bench {

namespace {

// Fields of /proc/PID/stat after the command name: state is field 3, ppid 4, utime 14, stime 15.
bool sStat(int pid, std::string& name, int& ppid, double& cpu) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/stat", pid);
  FILE* f = fopen(path, "r");
  if (!f) return false;
  char line[1024];
  bool ok = fgets(line, sizeof(line), f) != nullptr;
  fclose(f);
  char* open = ok ? strchr(line, '(') : nullptr;
  char* close = ok ? strrchr(line, ')') : nullptr;
  if (!open || !close) return false;
  name.assign(open + 1, close);
  std::vector<std::string> fields;
  char* rest = nullptr;  // the sampling thread reads stat files too
  for (char* field = strtok_r(close + 2, " ", &rest); field; field = strtok_r(nullptr, " ", &rest))
    fields.push_back(field);
  if (fields.size() < 13) return false;
  ppid = atoi(fields[1].c_str());
  cpu = (atof(fields[11].c_str()) + atof(fields[12].c_str())) / static_cast<double>(sysconf(_SC_CLK_TCK));
  return true;
}

std::vector<int> sChildren(const std::string& name) {
  std::vector<int> pids;
  DIR* proc = opendir("/proc");
  if (!proc) return pids;
  const int self = getpid();
  while (dirent* entry = readdir(proc)) {
    int pid = atoi(entry->d_name);
    std::string comm;
    int ppid = 0;
    double cpu = 0;
    if (pid > 0 && sStat(pid, comm, ppid, cpu) && ppid == self && comm == name) pids.push_back(pid);
  }
  closedir(proc);
  return pids;
}

int sCount(const std::string& dir) {
  int n = 0;
  DIR* d = opendir(dir.c_str());
  if (!d) return 0;
  while (dirent* entry = readdir(d))
    if (entry->d_name[0] != '.') n++;
  closedir(d);
  return n;
}

}  // namespace

int ChildPid(const std::string& name) {
  std::vector<int> pids = sChildren(name);
  return pids.empty() ? -1 : pids.front();
}

double ProcessCpuSeconds(int pid) {
  std::string name;
  int ppid = 0;
  double cpu = 0;
  return pid > 0 && sStat(pid, name, ppid, cpu) ? cpu : 0;
}

PeakWatch::PeakWatch(const std::string& name) : name_(name) {
  thread_ = std::thread([this] {
    while (running_) {
      for (int pid : sChildren(name_)) {
        std::string base = "/proc/" + std::to_string(pid);
        int threads = sCount(base + "/task");
        int descriptors = sCount(base + "/fd");
        if (threads > threads_) threads_ = threads;
        if (descriptors > descriptors_) descriptors_ = descriptors;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
}

PeakWatch::~PeakWatch() { stop(); }

void PeakWatch::stop() {
  running_ = false;
  if (thread_.joinable()) thread_.join();
}

}  // namespace bench
