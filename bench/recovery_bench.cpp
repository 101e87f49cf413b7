// Measures recovery into the lab boot ROMs with the line rate modelled
// (115200 baud, 10 bits a byte in each direction).
//
// LPC (the default): a 64 KB image by the updater (-U -t RECOVER -f), then by
// lpc21isp on the same ROM and image; the bound is the uuencoded data lines and
// checksum lines of the image over the wire. Needs root for a private network
// namespace and store (the updater ensures its store directory); without root
// it says so and stops.
//
// i.MX (imx): a 64 KB recovery loader written into the paced lab i.MX ROM's
// RAM over its UART by the updater's SDP loader (from opening the port to the
// confirmed transfer), then by imx_uart on a fresh ROM with the same image;
// the bound is the status exchange, the write-file command, the data and the
// completion word over the wire.
//
// Both print the two times, their ratio and the line-rate bound on one line.
// Usage: recovery_bench [KB (default 64)] | recovery_bench imx [KB [BAUD (default 115200)]]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <cstdlib>
#include <string>
#include <vector>

#include "BirdWriter.h"
#include "LabLpcSupport.h"
#include "LabServerSupport.h"
#include "PrivateNetwork.h"
#include "TestSupport.h"
#include "recovery/imx/SDPLoader.h"
#include "recovery/imx/Serial_SDPLoader.h"

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

int sLpcBench(size_t kb) {
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

std::string sHex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", value);
  return text;
}

// The paced lab i.MX ROM on its UART alone; its RAM at the load address is
// written to `ram` when it stops.
struct ImxRom {
  ImxRom(const std::string& ram, size_t bytes) {
    std::string banner = testsupport::StartUntilReady(
        {testsupport::BinPath("updater-lab"), "imx", "--transport", "uart", "--pace", "--ram-out",
         sHex(kImxAddress) + ":" + std::to_string(bytes) + ":" + ram},
        &pid);
    if (banner.compare(0, 5, "uart ") == 0)
      pty = banner.substr(5, banner.find('\n') - 5);
    else
      std::fprintf(stderr, "updater-lab imx did not start: %s\n", banner.c_str());
  }
  ~ImxRom() { Stop(); }
  int Stop() { return pid > 0 ? testsupport::StopChild(&pid) : -1; }
  static constexpr uint32_t kImxAddress = 0x20200000;  // OCRAM: room for 256 KB
  pid_t pid = -1;
  std::string pty;
};

// Seconds from opening the port to the confirmed transfer; negative on failure.
double sUpdaterImx(const std::string& pty, const std::string& image, unsigned baud) {
  auto start = std::chrono::steady_clock::now();
  SDPLoader sdp;
  sdp.setLoader(std::make_unique<Serial_SDPLoader>(pty, baud));
  int result = sdp.init();
  if (result == 0)
    result = sdp.writeLoader(std::vector<uint8_t>(image.begin(), image.end()), ImxRom::kImxAddress);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (result != 0)
    std::fprintf(stderr, "updater's SDP loader failed with %d\n", result);
  return result == 0 ? seconds : -1;
}

// Status request and reply, write-file command, data, completion reply.
double sImxBoundSeconds(size_t bytes, unsigned baud) { return (16 + 8 + 16 + bytes + 8) * 10.0 / baud; }

int sImxBench(size_t kb, unsigned baud) {
  testsupport::TempDir dir;
  std::string image = testsupport::TestBytes(kb * 1024, 65);
  testsupport::WriteFile(dir.file("image.bin"), image);
  double updater = -1, peer = -1;
  const char* peerNote = " (not run)";
  {
    ImxRom rom(dir.file("ram-updater"), image.size());
    if (!rom.pty.empty())
      updater = sUpdaterImx(rom.pty, image, baud);
    rom.Stop();
    if (updater > 0 && testsupport::ReadFile(dir.file("ram-updater")) != image) {
      std::fprintf(stderr, "updater: the ROM's RAM does not hold the image\n");
      updater = -1;
    }
  }
  if (baud != kBaud) {
    std::fprintf(stderr, "imx_uart talks at %u baud only: no comparison\n", kBaud);
  } else if (access("/usr/bin/imx_uart", X_OK) == 0) {
    std::string conf = testsupport::ReadFile(testsupport::SourcePath("tests/e2e/peer/imx_uart_rt1050.conf"));
    testsupport::WriteFile(dir.file("rt1050.conf"),
                           conf + dir.file("image.bin") + ":load " + sHex(ImxRom::kImxAddress) + "\n");
    ImxRom rom(dir.file("ram-peer"), image.size());
    testsupport::ProgramResult r =
        testsupport::RunProgram({"/usr/bin/imx_uart", "-n", "-N", rom.pty, dir.file("rt1050.conf")});
    rom.Stop();
    peerNote = " (FAILED)";
    if (r.exitCode == 0 && testsupport::ReadFile(dir.file("ram-peer")) == image)
      peer = r.seconds;
    else
      std::fprintf(stderr, "imx_uart failed (%d):\n%s%s", r.exitCode, r.out.c_str(), r.err.c_str());
  } else {
    std::fprintf(stderr, "imx_uart is not installed: no comparison\n");
  }
  double bound = sImxBoundSeconds(image.size(), baud);
  std::printf("i.MX loader %zu KB at %u baud (paced lab ROM): updater %.3f s%s, imx_uart %.3f s%s, "
              "updater/imx_uart %.4f, line-rate bound %.3f s, updater at %.4f of the bound, imx_uart at %.4f\n",
              kb, baud, updater, updater > 0 ? "" : " (FAILED)", peer, peer > 0 ? "" : peerNote,
              updater > 0 && peer > 0 ? updater / peer : 0.0, bound, updater > 0 ? bound / updater : 0.0,
              peer > 0 ? bound / peer : 0.0);
  return updater > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool imx = argc > 1 && std::string(argv[1]) == "imx";
  int at = imx ? 2 : 1;
  size_t kb = argc > at ? std::strtoul(argv[at], nullptr, 10) : 64;
  unsigned baud = imx && argc > at + 1 ? static_cast<unsigned>(std::strtoul(argv[at + 1], nullptr, 10)) : kBaud;
  return imx ? sImxBench(kb, baud) : sLpcBench(kb);
}
