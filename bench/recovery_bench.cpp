// Measures recovery of a 64 KB image into the lab LPC boot ROM with the line
// rate modelled (115200 baud, 10 bits a byte in each direction): first by the
// updater (-U -t RECOVER -f), then by lpc21isp on the same ROM and image.
// Prints both times, their ratio, and the line-rate bound: the uuencoded data
// lines and checksum lines of the image over the wire at 10 bits per byte.
// Needs root for a private network namespace and store (the updater ensures
// its store directory); without root it says so and stops.
// Usage: recovery_bench [image KB (default 64)]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BirdWriter.h"
#include "LabLpcSupport.h"
#include "LabServerSupport.h"
#include "PrivateNetwork.h"
#include "TestSupport.h"

namespace {

const unsigned kBaud = 115200;

// Bytes a host must send for the image's data at the least: 45-byte lines
// (count character, 4 characters per 3 bytes, CR LF) and a decimal checksum
// line after every 20 lines and after the last.
double sBoundSeconds(const std::string& image) {
  size_t bytes = 0;
  unsigned lines = 0;
  uint32_t sum = 0;
  for (size_t at = 0; at < image.size(); at += 45) {
    size_t n = std::min<size_t>(45, image.size() - at);
    bytes += 1 + 4 * ((n + 2) / 3) + 2;
    for (size_t i = 0; i < n; i++)
      sum += static_cast<uint8_t>(image[at + i]);
    if (++lines == 20 || at + n == image.size()) {
      bytes += std::to_string(sum).size() + 2;
      lines = 0;
      sum = 0;
    }
  }
  return bytes * 10.0 / kBaud;
}

}  // namespace

int main(int argc, char** argv) {
  size_t kb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
  if (!testsupport::IsRoot()) {
    std::fprintf(stderr, "recovery_bench: needs root (a private network namespace and store)\n");
    return 2;
  }
  if (!testsupport::EnterPrivateNetwork()) {
    std::fprintf(stderr, "recovery_bench: no private network namespace\n");
    return 1;
  }
  testsupport::TempDir dir, store;
  testsupport::PrivateStore privateStore(store.path());
  if (!privateStore.ok()) {
    std::fprintf(stderr, "recovery_bench: %s\n", privateStore.error().c_str());
    return 1;
  }
  std::string image = testsupport::TestBytes(kb * 1024, 64);
  testsupport::WriteFile(dir.file("image.bin"), image);
  testsupport::WriteFile(dir.file("image.bird"),
                         testsupport::MakeRecoveryBird({{0, image}}, testsupport::kLabLpcSerial));

  testsupport::LabLpcProcess rom(dir.path(), {"--pace"});
  if (!rom.ok())
    return 1;
  testsupport::ProgramResult updater =
      testsupport::RunProgram({testsupport::BinPath("updater"), "-U", "-t", "RECOVER", "-s", rom.pty(), "-f",
                               dir.file("image.bird"), "-u", "http://127.0.0.1:9/cgi/u"});
  rom.Stop();
  bool updaterOk = updater.exitCode == 0 && rom.flash().compare(0, image.size(), image) == 0;
  if (!updaterOk)
    std::fprintf(stderr, "updater failed (%d):\n%s%s", updater.exitCode, updater.out.c_str(), updater.err.c_str());

  double peerSeconds = 0;
  bool peerOk = false;
  if (access("/usr/bin/lpc21isp", X_OK) == 0) {
    testsupport::LabLpcProcess peerRom(dir.path(), {"--pace"});
    testsupport::ProgramResult peer = testsupport::RunProgram(
        {"/usr/bin/lpc21isp", "-bin", "-debug0", dir.file("image.bin"), peerRom.pty(), "115200", "14746"});
    peerOk = peer.exitCode == 0;
    peerSeconds = peer.seconds;
    if (!peerOk)
      std::fprintf(stderr, "lpc21isp failed (%d):\n%s%s", peer.exitCode, peer.out.c_str(), peer.err.c_str());
  } else {
    std::fprintf(stderr, "lpc21isp is not installed: no comparison\n");
  }

  double bound = sBoundSeconds(image);
  std::printf("recovery %zu KB at %u baud (paced lab ROM): updater %.3f s%s, lpc21isp %.3f s%s, updater/lpc21isp "
              "%.3f, line-rate bound %.3f s, updater at %.3f of the bound, lpc21isp at %.3f\n",
              kb, kBaud, updater.seconds, updaterOk ? "" : " (FAILED)", peerSeconds, peerOk ? "" : " (FAILED)",
              peerSeconds > 0 ? updater.seconds / peerSeconds : 0.0, bound, bound / updater.seconds,
              peerSeconds > 0 ? bound / peerSeconds : 0.0);
  return updaterOk ? 0 : 1;
}
