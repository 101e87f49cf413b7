// Measures a fleet update over TCP/IP: N lab modules (one lab process), each with a 64 KiB
// image, first one module alone, then all N in one -U. Prints one line: the fleet's wall time
// and its ratio to one module's, the updater's CPU per frame sent and per module, the lab's
// CPU beside it (its modules compete for the same cores), the most threads and descriptors
// the updater held, the firmware frame pace (of the median and of the slowest module within
// the fleet, and of one module alone), and the load average before and after, since the
// machine's cores are shared. Every module's frames are watched on the wire as they arrive in
// the lab (each module has a port of its own), counted, and each module's pace taken from its own.
// Beside it, what N bare paced request/reply links (nothing but their system calls) cost and
// reach here, with a thread a link as the updater has, with one thread for all, and with an
// I/O thread waking a thread a link: the floor of each design.
// Runs in private network namespaces (needs root).
// Usage: fleet_bench [modules (default 8)] [rounds (default 1)]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchBird.h"
#include "ChildCpu.h"
#include "FirmwarePace.h"
#include "FrameCapture.h"
#include "LabNetwork.h"
#include "PacedFleet.h"
#include "ProcessWatch.h"
#include "TestSupport.h"

namespace {

const uint16_t kFirstPort = 9000;
const size_t kImageBytes = 64 * 1024;
const size_t kBareFrames = 2000;  // per link, for the bare designs

std::string sSerial(int i) {
  char text[9];
  snprintf(text, sizeof(text), "0000F%03X", i);
  return text;
}

struct Run {
  bool ok = false;
  double wall = 0;
  double cpu = 0;
  double labCpu = 0;
  double wakeups = 0;  // the updater's voluntary context switches
  size_t frames = 0;  // frames the modules received, all of them
  bench::FleetPace pace;  // the modules' firmware frame pace, of the bound
  int threads = 0;
  int descriptors = 0;
};

Run sUpdate(testsupport::LabNetwork& net, int labPid, int modules, const std::string& devices,
            const std::string& bird, double launchCpu) {
  Run run;
  bench::FrameCapture capture(net.labNamespace(), kFirstPort, static_cast<uint16_t>(kFirstPort + modules - 1));
  bench::PeakWatch watch("updater");
  const double labBefore = bench::ProcessCpuSeconds(labPid);
  const double cpuBefore = bench::ChildCpuSeconds();
  const double wakeupsBefore = bench::ChildWakeups();
  auto start = std::chrono::steady_clock::now();
  // All modules side by side (the updater takes at most 64 at a time).
  const std::string parallel = std::to_string(modules < 64 ? modules : 64);
  testsupport::RunResult r =
      net.runUpdater({"-U", "-t", "TCPIP", "-j", parallel, "-d", devices, "-f", bird}, 600000);
  run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpu = bench::ChildCpuSeconds() - cpuBefore - launchCpu;
  run.labCpu = bench::ProcessCpuSeconds(labPid) - labBefore;
  run.wakeups = bench::ChildWakeups() - wakeupsBefore;
  watch.stop();
  run.threads = watch.threads();
  run.descriptors = watch.descriptors();
  std::vector<bench::CapturedFrame> frames = capture.stop();
  run.frames = frames.size();
  run.pace = bench::FirmwarePaceOfFleet(frames);
  run.ok = r.exitCode == 0 && run.pace.modules == static_cast<size_t>(modules);
  if (r.exitCode != 0) fprintf(stderr, "fleet_bench: update failed (%d):\n%s%s", r.exitCode, r.out.c_str(), r.err.c_str());
  else if (!run.ok)
    fprintf(stderr, "fleet_bench: only %zu of %d modules' firmware transfers were seen on the wire\n", run.pace.modules,
            modules);
  if (capture.gaps() > 0)
    fprintf(stderr, "fleet_bench: %u segments arrived beyond a hole: some frames were not seen\n", capture.gaps());
  return run;
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
  int modules = argc > 1 ? atoi(argv[1]) : 8;
  int rounds = argc > 2 ? atoi(argv[2]) : 1;
  if (modules < 1 || modules > 4000) modules = 8;
  if (rounds < 1) rounds = 1;
  testsupport::LabNetwork net;
  if (!net.ok()) {
    fprintf(stderr, "fleet_bench: %s\n", net.error().c_str());
    return 2;
  }
  std::vector<std::string> lab = {"modules"};
  std::string devices;
  for (int i = 0; i < modules; i++) {
    lab.push_back("--module");
    lab.push_back("serial=" + sSerial(i) + ",model=17,port=" + std::to_string(kFirstPort + i) +
                  ",hb=0,reboot-delay=100,block-size=256");
    devices += (i ? "," : "") + sSerial(i);
  }
  if (net.startLab(lab, "ready", 20000) < 0) {
    fprintf(stderr, "fleet_bench: %s\n", net.error().c_str());
    return 2;
  }
  const int labPid = bench::ChildPid("updater-lab");
  testsupport::TempDir files;
  const std::string bird = bench::WriteBenchBird(files, kImageBytes, 900);
  const double launchCpu = bench::LaunchCpuSeconds(net);
  for (int round = 0; round < rounds; round++) {
    const double loadBefore = sLoadAverage();
    Run one = sUpdate(net, labPid, 1, sSerial(0), bird, launchCpu);
    Run fleet = sUpdate(net, labPid, modules, devices, bird, launchCpu);
    if (!one.ok || !fleet.ok) return 1;
    using bench::FleetDesign;
    const bench::PacedFleetFigures threads =
        bench::MeasurePacedFleet(net, modules, kBareFrames, FleetDesign::ThreadPerLink);
    const bench::PacedFleetFigures loop = bench::MeasurePacedFleet(net, modules, kBareFrames, FleetDesign::OneThread);
    const bench::PacedFleetFigures handed =
        bench::MeasurePacedFleet(net, modules, kBareFrames, FleetDesign::IOThreadAndLinkThreads);
    const double fleetFrames = static_cast<double>(fleet.frames);
    printf("fleet_bench: %d x %zu KiB over TCP/IP: %.2f s = %.2f x one module (%.2f s); updater CPU %.1f us and %.2f wake-ups per frame "
           "(one module alone %.1f us, %.2f), %.3f s per module, %.2f of a core; lab CPU %.2f of a core (%.1f us per frame); "
           "updater peak %d threads, %d descriptors; "
           "firmware frame pace %.3f of bound for the median module (slowest %.3f, alone %.3f); "
           "bare links: a thread each %.1f us per frame at %.3f of pace, one thread for all %.1f us at %.3f, "
           "an I/O thread waking a thread each %.1f us at %.3f, their echo %.1f us; load average %.2f -> %.2f\n",
           modules, kImageBytes / 1024, fleet.wall, fleet.wall / one.wall, one.wall, fleet.cpu / fleetFrames * 1e6,
           fleet.wakeups / fleetFrames, one.cpu / static_cast<double>(one.frames) * 1e6,
           one.wakeups / static_cast<double>(one.frames), fleet.cpu / modules, fleet.cpu / fleet.wall,
           fleet.labCpu / fleet.wall, fleet.labCpu / fleetFrames * 1e6, fleet.threads, fleet.descriptors,
           fleet.pace.median, fleet.pace.slowest, one.pace.median, threads.cpuUsPerFrame, threads.ratio,
           loop.cpuUsPerFrame, loop.ratio, handed.cpuUsPerFrame, handed.ratio, threads.echoUsPerFrame, loadBefore,
           sLoadAverage());
    fflush(stdout);
  }
  return 0;
}
