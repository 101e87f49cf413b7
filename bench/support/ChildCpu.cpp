#include "ChildCpu.h"

#include <sys/resource.h>
#include <sys/time.h>

#include <algorithm>
#include <vector>

namespace bench {

namespace {

double sSeconds(const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; }

}  // namespace

double ChildCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return sSeconds(usage.ru_utime) + sSeconds(usage.ru_stime);
}

double ChildWakeups() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return static_cast<double>(usage.ru_nvcsw);
}

double LaunchCpuSeconds(testsupport::LabNetwork& net) {
  std::vector<double> runs;
  for (int i = 0; i < 3; i++) {
    double before = ChildCpuSeconds();
    net.run("true", {});
    runs.push_back(ChildCpuSeconds() - before);
  }
  std::sort(runs.begin(), runs.end());
  return runs[1];
}

}  // namespace bench
