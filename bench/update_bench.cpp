// Measures -U against a lab module with no added delay: the transfer rate for a 64 KB and a
// 256 KB image, set against the bound of the protocol's own pacing, and the CPU time the
// updater process uses. Everything runs in private network namespaces (needs root).
// Usage: update_bench [block size (default 256)]
#include <sys/resource.h>
#include <sys/time.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BirdWriter.h"
#include "LabNetwork.h"
#include "TestSupport.h"

namespace {

struct Sample {
  size_t bytes = 0;
  double wallSeconds = 0;
  double updateSeconds = 0;  // the updater's own "Update time" line
  double cpuSeconds = 0;     // user + system time of the updater process
  bool ok = false;
};

double sSeconds(const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; }

double sChildCpu() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return sSeconds(usage.ru_utime) + sSeconds(usage.ru_stime);
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

Sample sMeasure(testsupport::LabNetwork& net, const std::string& bird, size_t bytes) {
  Sample sample;
  sample.bytes = bytes;
  double cpuBefore = sChildCpu();
  auto start = std::chrono::steady_clock::now();
  testsupport::RunResult r = net.runUpdater({"-U", "-d", "0000BE7C", "-f", bird}, 300000);
  sample.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  sample.cpuSeconds = sChildCpu() - cpuBefore;
  sample.ok = r.exitCode == 0;
  size_t at = r.out.find("Update time: ");
  if (at != std::string::npos) sample.updateSeconds = atof(r.out.c_str() + at + 13);
  if (!sample.ok) fprintf(stderr, "update of %zu bytes failed (%d):\n%s%s", bytes, r.exitCode, r.out.c_str(), r.err.c_str());
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
  std::string spec = "serial=0000BE7C,model=17,port=9000,hb=0,reboot-delay=100,block-size=" + std::to_string(blockSize);
  if (net.startLab({"modules", "--module", spec}) < 0) {
    fprintf(stderr, "update_bench: %s\n", net.error().c_str());
    return 2;
  }

  // The loader and the fixed costs (discovery, connect, INIT, LOAD, REBOOT) are the same in
  // both runs, so the difference between them is the firmware transfer alone.
  std::vector<Sample> samples{sMeasure(net, sBird(files, 64 * 1024), 64 * 1024),
                              sMeasure(net, sBird(files, 256 * 1024), 256 * 1024)};
  for (const Sample& s : samples) {
    if (!s.ok) return 1;
    printf("%4zu KB image: update time %.3f s (wall %.3f s), %.0f bytes/s overall, updater CPU %.3f s (%.1f%% of "
           "wall)\n",
           s.bytes / 1024, s.updateSeconds, s.wallSeconds, s.bytes / s.updateSeconds, s.cpuSeconds,
           100.0 * s.cpuSeconds / s.wallSeconds);
  }
  double marginal = (samples[1].bytes - samples[0].bytes) / (samples[1].updateSeconds - samples[0].updateSeconds);

  // The host writes at most one frame per millisecond; a piece of `blockSize` bytes costs
  // ceil(blockSize / 26) DATA frames plus one SUM and one WRITE (PREPARE once per block).
  double framesPerPiece = std::ceil(blockSize / 26.0) + 2;
  double bound = blockSize / framesPerPiece * 1000.0;
  printf("firmware transfer rate (difference of the two runs): %.0f bytes/s\n", marginal);
  printf("pacing bound for block size %u: %.0f bytes/s (%.0f frames per %u-byte piece at 1 frame/ms); "
         "reached %.0f%%\n",
         blockSize, bound, framesPerPiece, blockSize, 100.0 * marginal / bound);
  return 0;
}
