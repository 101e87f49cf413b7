// The lab LPC boot ROM (`updater-lab lpc`) as a child process, and the BIRD
// files that recovery tests program into it.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// The lab ROM's default device serial number (its recovery fingerprint).
extern const uint32_t kLabLpcSerial[4];
const uint32_t kLabLpcFlashSize = 0x80000;

class LabLpcProcess {
public:
  // Extra options after "updater-lab lpc"; the flash and the account are
  // written into `dir` when the ROM is stopped.
  LabLpcProcess(const std::string& dir, const std::vector<std::string>& args = {});
  ~LabLpcProcess();
  LabLpcProcess(const LabLpcProcess&) = delete;
  LabLpcProcess& operator=(const LabLpcProcess&) = delete;

  bool ok() const { return !pty_.empty(); }
  const std::string& pty() const { return pty_; }
  // SIGTERM and wait; then flash() and account() can be read. Exit status or -1.
  int Stop();
  std::string flash() const;
  std::string account() const;
  // The commands of the account, one per entry ("W 268439552 4096", "checksum ...").
  std::vector<std::string> received() const;

private:
  pid_t pid_ = -1;
  std::string pty_;
  std::string dir_;
};

struct FirmwarePiece {
  uint32_t address;
  std::string bytes;
};

// A BIRD file with an information block and one firmware block per piece,
// scrambled for the chip with `key` (as the recovery expects); optionally with
// serial-number offsets.
std::string MakeRecoveryBird(const std::vector<FirmwarePiece>& pieces, const uint32_t key[4], uint32_t build = 7,
                             const std::string& model = "Holvex", bool serialOffsets = false);
// The flash the pieces should leave: 0xFF everywhere else.
std::string ExpectedFlash(const std::vector<FirmwarePiece>& pieces);

}  // namespace testsupport
