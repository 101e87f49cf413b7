// Measures a fleet update against eight lab modules over TCP/IP, each with a 64 KiB image,
// and prints one line: one module's -U alone, the eight updated the old way (eight -U runs
// one after another) and in one -U (all at once), each as wall time and as a multiple of
// one module's; in the fleet run every module's firmware frame pace as a fraction of the
// 1 ms bound (seen on the wire, against one module's alone), and the updater's CPU seconds
// per module; and the load
// average, since the machine's two cores are shared. Runs in private network namespaces (needs root).
// Usage: fleet_bench [rounds (default 1)]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "BenchBird.h"
#include "ChildCpu.h"
#include "FirmwarePace.h"
#include "FrameCapture.h"
#include "LabNetwork.h"
#include "TestSupport.h"

namespace {

const int kModules = 8;
const uint16_t kFirstPort = 9000;
const size_t kImageBytes = 64 * 1024;

std::string sSerial(int i) {
  char text[9];
  snprintf(text, sizeof(text), "0000F1%02X", i);
  return text;
}

struct Run {
  bool ok = false;
  double wall = 0;
  double cpu = 0;
};

Run sUpdate(testsupport::LabNetwork& net, const std::vector<std::string>& args, double launchCpu) {
  Run run;
  double cpuBefore = bench::ChildCpuSeconds();
  auto start = std::chrono::steady_clock::now();
  testsupport::RunResult r = net.runUpdater(args, 600000);
  run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpu = bench::ChildCpuSeconds() - cpuBefore - launchCpu;
  run.ok = r.exitCode == 0;
  if (!run.ok) fprintf(stderr, "fleet_bench: update failed (%d):\n%s%s", r.exitCode, r.out.c_str(), r.err.c_str());
  return run;
}

struct Fleet {
  Run run;
  std::vector<double> pace;  // per module, sorted
};

Fleet sFleet(testsupport::LabNetwork& net, const std::string& bird, double launchCpu) {
  Fleet fleet;
  std::vector<std::unique_ptr<bench::FrameCapture>> captures;
  std::string serials;
  for (int i = 0; i < kModules; i++) {
    captures.emplace_back(new bench::FrameCapture(net.programNamespace(), static_cast<uint16_t>(kFirstPort + i)));
    serials += (i ? "," : "") + sSerial(i);
  }
  fleet.run = sUpdate(net, {"-U", "-t", "TCPIP", "-d", serials, "-f", bird}, launchCpu);
  for (auto& capture : captures) fleet.pace.push_back(bench::FirmwarePace(capture->stop()).ratio);
  std::sort(fleet.pace.begin(), fleet.pace.end());
  return fleet;
}

double sLoadAverage() {
  double load = 0;
  FILE* f = fopen("/proc/loadavg", "r");
  if (f) {
    if (fscanf(f, "%lf", &load) != 1) load = 0;
    fclose(f);
  }
  return load;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 1;
  if (rounds < 1) rounds = 1;
  testsupport::LabNetwork net;
  if (!net.ok()) {
    fprintf(stderr, "fleet_bench: %s\n", net.error().c_str());
    return 2;
  }
  std::vector<std::string> lab = {"modules"};
  for (int i = 0; i < kModules; i++) {
    lab.push_back("--module");
    lab.push_back("serial=" + sSerial(i) + ",model=17,port=" + std::to_string(kFirstPort + i) +
                  ",hb=0,reboot-delay=100,block-size=256");
  }
  if (net.startLab(lab) < 0) {
    fprintf(stderr, "fleet_bench: %s\n", net.error().c_str());
    return 2;
  }
  testsupport::TempDir files;
  const std::string bird = bench::WriteBenchBird(files, kImageBytes, 900);
  const double launchCpu = bench::LaunchCpuSeconds(net);
  for (int round = 0; round < rounds; round++) {
    const double loadBefore = sLoadAverage();
    bench::FrameCapture capture(net.programNamespace(), kFirstPort);
    Run one = sUpdate(net, {"-U", "-t", "TCPIP", "-d", sSerial(0), "-f", bird}, launchCpu);
    const double onePace = bench::FirmwarePace(capture.stop()).ratio;
    Run before;
    before.ok = true;
    for (int i = 0; i < kModules && before.ok; i++) {
      Run single = sUpdate(net, {"-U", "-t", "TCPIP", "-d", sSerial(i), "-f", bird}, launchCpu);
      before.ok = single.ok;
      before.wall += single.wall;
      before.cpu += single.cpu;
    }
    Fleet after = sFleet(net, bird, launchCpu);
    if (!one.ok || !before.ok || !after.run.ok) return 1;
    printf("fleet_bench: %d x %zu KiB over TCP/IP: one module %.2f s (CPU %.3f s, frame pace %.3f of bound); before (one -U per module, in "
           "turn) %.2f s = %.2f x one, CPU %.3f s per module; after (one -U, all at once) %.2f s = %.2f x one, "
           "CPU %.3f s per module (%.2f of a core); frame pace per module min %.3f median %.3f of bound; "
           "load average %.2f -> %.2f\n",
           kModules, kImageBytes / 1024, one.wall, one.cpu, onePace, before.wall, before.wall / one.wall,
           before.cpu / kModules, after.run.wall, after.run.wall / one.wall, after.run.cpu / kModules,
           after.run.cpu / after.run.wall, after.pace.front(), after.pace[after.pace.size() / 2], loadBefore,
           sLoadAverage());
    fflush(stdout);
  }
  return 0;
}
