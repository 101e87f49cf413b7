// Measures -U against a lab module over TCP/IP, for a 64 KiB and a 256 KiB image, and prints
// one line: for each image the firmware transfer's throughput as a fraction of the pacing
// bound (firmware bytes / (frames x 1 ms)), the gaps between the frames it sent, and the
// updater's CPU time over its wall time and per frame it sent (less what starting a program in
// the namespace costs; user + system time of the whole run over every frame seen on the wire),
// and, as the measure of the machine, what a bare 1 ms paced loop reaches here, how late a plain
// timed sleep wakes (what pacing makes up by watching the clock, at a CPU cost), and what a bare
// paced request/reply over TCP costs a frame (the least a link engine can spend on one here).
// The frames are watched on the wire as they arrive in the lab's namespace. Everything runs in private
// network namespaces (needs root).
// Usage: update_bench [block size (default 256)]
#include <algorithm>
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
#include "PacedExchange.h"
#include "PacedLoop.h"
#include "TestSupport.h"

namespace {

const uint16_t kModulePort = 9000;

struct Sample {
  size_t bytes = 0;
  bool ok = false;
  double cpuFraction = 0;  // user + system time of the updater over its wall time
  double cpuPerFrameUs = 0;  // the same time over every frame the updater sent
  double wakeupsPerFrame = 0;  // times the updater's threads slept and woke, per frame sent
  bench::Pace pace;
};

Sample sMeasure(testsupport::LabNetwork& net, const std::string& bird, size_t bytes, double launchCpu) {
  Sample sample;
  sample.bytes = bytes;
  bench::FrameCapture capture(net.labNamespace(), kModulePort);
  if (!capture.ok()) {
    fprintf(stderr, "update_bench: %s\n", capture.error().c_str());
    return sample;
  }
  double cpuBefore = bench::ChildCpuSeconds();
  double wakeupsBefore = bench::ChildWakeups();
  auto start = std::chrono::steady_clock::now();
  testsupport::RunResult r = net.runUpdater({"-U", "-d", "0000BE7C", "-f", bird}, 300000);
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = bench::ChildCpuSeconds() - cpuBefore - launchCpu;
  sample.cpuFraction = cpu / wall;
  std::vector<bench::CapturedFrame> frames = capture.stop();
  if (!frames.empty()) {
    sample.cpuPerFrameUs = cpu / static_cast<double>(frames.size()) * 1e6;
    sample.wakeupsPerFrame = (bench::ChildWakeups() - wakeupsBefore) / static_cast<double>(frames.size());
  }
  sample.pace = bench::FirmwarePace(frames);
  sample.ok = r.exitCode == 0 && sample.pace.frames > 0 && capture.gaps() == 0;
  if (r.exitCode != 0)
    fprintf(stderr, "update of %zu bytes failed (%d):\n%s%s", bytes, r.exitCode, r.out.c_str(), r.err.c_str());
  else if (!sample.ok)
    fprintf(stderr, "update of %zu bytes: the firmware frames were not seen whole (%u holes)\n", bytes,
            capture.gaps());
  return sample;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned blockSize = argc > 1 ? static_cast<unsigned>(atoi(argv[1])) : 256;
  if (blockSize == 0) blockSize = 256;
  testsupport::LabNetwork net;
  if (!net.ok()) {
    fprintf(stderr, "update_bench: %s\n", net.error().c_str());
    return 2;
  }
  testsupport::TempDir files;
  std::string spec = "serial=0000BE7C,model=17,port=" + std::to_string(kModulePort) +
                     ",hb=0,reboot-delay=100,block-size=" + std::to_string(blockSize);
  if (net.startLab({"modules", "--module", spec}) < 0) {
    fprintf(stderr, "update_bench: %s\n", net.error().c_str());
    return 2;
  }
  double launchCpu = bench::LaunchCpuSeconds(net);
  std::string line = "update_bench (block size " + std::to_string(blockSize) + "):";
  for (size_t bytes : {size_t(64) * 1024, size_t(256) * 1024}) {
    Sample s = sMeasure(net, bench::WriteBenchBird(files, bytes, 900), bytes, launchCpu);
    if (!s.ok) return 1;
    char part[256];
    snprintf(part, sizeof(part),
             " %zu KiB throughput %.3f of pace (%zu frames in %.3f s, gap median %.3f p99 %.3f min %.3f ms, %zu under 1 ms), CPU "
             "%.3f of a core, %.1f us and %.2f wake-ups per frame sent;",
             bytes / 1024, s.pace.ratio, s.pace.frames, s.pace.ms / 1000, s.pace.medianGapMs, s.pace.p99GapMs, s.pace.minGapMs,
             s.pace.underPace, s.cpuFraction, s.cpuPerFrameUs, s.wakeupsPerFrame);
    line += part;
  }
  bench::PacedLoopFigures floor = bench::MeasurePacedLoop(3000);
  bench::PacedExchangeFigures exchange;
  {
    // Watched as the update's frames are, so that both figures carry the capture's copy.
    bench::FrameCapture watch(net.labNamespace(), bench::kPacedExchangePort);
    exchange = bench::MeasurePacedExchange(net, 3000);
  }
  char part[400];
  snprintf(part, sizeof(part),
           " machine: a bare 1 ms paced loop reaches %.3f of pace, %.1f us CPU per timed wake-up (a plain timed sleep "
           "wakes %.0f us late at the median, %.0f at the 95th percentile); a bare paced TCP request/reply over the same "
           "interfaces %.3f of pace, %.1f us CPU per frame",
           floor.ratio, floor.cpuUsPerWake, floor.lateMedianUs, floor.late95Us, exchange.ratio, exchange.cpuUsPerFrame);
  line += part;
  printf("%s\n", line.c_str());
  return 0;
}
