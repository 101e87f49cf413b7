// Measures -U against a lab module over TCP/IP, for a 64 KiB and a 256 KiB image, and prints
// one line: for each image the firmware transfer's throughput as a fraction of the pacing
// bound (firmware bytes / (frames x 1 ms)), the gaps between the frames it sent, and the
// updater's CPU time over its wall time (less what starting a program in the namespace costs),
// and, as the measure of the machine, what a bare 1 ms paced loop reaches here.
// The frames are watched on the wire from inside the updater's namespace. Everything runs in private network namespaces (needs root).
// Usage: update_bench [block size (default 256)]
#include <sys/resource.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BirdWriter.h"
#include "FrameCapture.h"
#include "LabNetwork.h"
#include "PacedLoop.h"
#include "TestSupport.h"

namespace {

const uint16_t kModulePort = 9000;
const uint8_t kUpgrade = 0x5F, kLoad = 0x02, kPrepare = 0x03, kWrite = 0x05;
const double kPaceMs = 1.0;

struct Pace {
  size_t frames = 0;
  double ms = 0;
  double ratio = 0;
  double medianGapMs = 0;
  double p99GapMs = 0;  // the slow tail that the median hides: where a loaded machine loses pace
  double minGapMs = 0;
  size_t underPace = 0;  // gaps seen on the wire shorter than the pace
};

struct Sample {
  size_t bytes = 0;
  bool ok = false;
  double cpuFraction = 0;  // user + system time of the updater over its wall time
  Pace pace;
};

double sSeconds(const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; }

double sChildCpu() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return sSeconds(usage.ru_utime) + sSeconds(usage.ru_stime);
}

bool sIsUpgrade(const bench::CapturedFrame& f, uint8_t option) {
  return f.data.size() >= 2 && f.data[0] == kUpgrade && f.data[1] == option;
}

// The firmware transfer runs from the first PREPARE after the last LOAD to the last WRITE;
// n frames there take n pace slots at best.
Pace sFirmwarePace(const std::vector<bench::CapturedFrame>& frames) {
  Pace pace;
  size_t first = frames.size(), last = frames.size();
  for (size_t i = 0; i < frames.size(); i++) {
    if (sIsUpgrade(frames[i], kLoad)) first = last = frames.size();
    if (sIsUpgrade(frames[i], kPrepare) && first == frames.size()) first = i;
    if (sIsUpgrade(frames[i], kWrite) && first != frames.size()) last = i;
  }
  if (first >= last || last == frames.size()) return pace;
  std::vector<double> gaps;
  for (size_t i = first + 1; i <= last; i++) gaps.push_back(frames[i].ms - frames[i - 1].ms);
  std::sort(gaps.begin(), gaps.end());
  pace.frames = last - first + 1;
  pace.ms = frames[last].ms - frames[first].ms + kPaceMs;
  pace.ratio = pace.frames * kPaceMs / pace.ms;
  pace.medianGapMs = gaps[gaps.size() / 2];
  pace.p99GapMs = gaps[gaps.size() * 99 / 100];
  pace.minGapMs = gaps.front();
  pace.underPace = static_cast<size_t>(std::lower_bound(gaps.begin(), gaps.end(), kPaceMs) - gaps.begin());
  return pace;
}

std::string sBird(const testsupport::TempDir& dir, size_t imageBytes) {
  std::vector<birdwriter::Block> blocks;
  blocks.push_back(birdwriter::InfoBlock(900, "1.0.0", 0, "Holvex"));
  blocks.push_back(birdwriter::AddressedBlock(birdwriter::kLoader, 0x20000000, birdwriter::RandomBytes(512, 3)));
  blocks.push_back(birdwriter::AddressedBlock(birdwriter::kFirmware, 0, birdwriter::RandomBytes(imageBytes, 5)));
  blocks.push_back(birdwriter::SerialOffsetsBlock(0x100, 0x200));
  std::vector<uint8_t> bytes = birdwriter::EncodeFile(blocks);
  std::string path = dir.file(std::to_string(imageBytes) + ".bird");
  testsupport::WriteFile(path, std::string(bytes.begin(), bytes.end()));
  return path;
}

// CPU seconds that entering the namespace and binding the store cost a program that does
// nothing; it is no part of the updater's own work.
double sLaunchCpu(testsupport::LabNetwork& net) {
  std::vector<double> runs;
  for (int i = 0; i < 3; i++) {
    double before = sChildCpu();
    net.run("true", {});
    runs.push_back(sChildCpu() - before);
  }
  std::sort(runs.begin(), runs.end());
  return runs[1];
}

Sample sMeasure(testsupport::LabNetwork& net, const std::string& bird, size_t bytes, double launchCpu) {
  Sample sample;
  sample.bytes = bytes;
  bench::FrameCapture capture(net.programNamespace(), kModulePort);
  if (!capture.ok()) {
    fprintf(stderr, "update_bench: %s\n", capture.error().c_str());
    return sample;
  }
  double cpuBefore = sChildCpu();
  auto start = std::chrono::steady_clock::now();
  testsupport::RunResult r = net.runUpdater({"-U", "-d", "0000BE7C", "-f", bird}, 300000);
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  sample.cpuFraction = (sChildCpu() - cpuBefore - launchCpu) / wall;
  sample.pace = sFirmwarePace(capture.stop());
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
  double launchCpu = sLaunchCpu(net);
  std::string line = "update_bench (block size " + std::to_string(blockSize) + "):";
  for (size_t bytes : {size_t(64) * 1024, size_t(256) * 1024}) {
    Sample s = sMeasure(net, sBird(files, bytes), bytes, launchCpu);
    if (!s.ok) return 1;
    char part[256];
    snprintf(part, sizeof(part),
             " %zu KiB throughput %.3f of pace (%zu frames in %.3f s, gap median %.3f p99 %.3f min %.3f ms, %zu under 1 ms), CPU "
             "%.3f of a core;",
             bytes / 1024, s.pace.ratio, s.pace.frames, s.pace.ms / 1000, s.pace.medianGapMs, s.pace.p99GapMs, s.pace.minGapMs,
             s.pace.underPace, s.cpuFraction);
    line += part;
  }
  bench::PacedLoopFigures floor = bench::MeasurePacedLoop(3000);
  char part[160];
  snprintf(part, sizeof(part), " machine: a bare 1 ms paced loop reaches %.3f of pace, %.1f us CPU per timed wake-up",
           floor.ratio, floor.cpuUsPerWake);
  line += part;
  printf("%s\n", line.c_str());
  return 0;
}
