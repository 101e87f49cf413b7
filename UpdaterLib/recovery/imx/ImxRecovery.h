// Recovery of an i.MX RT1050: its boot ROM receives a recovery loader over the
// Serial Download Protocol (USB HID or a serial port); the loader then joins
// the USB bus as a module that gives the chip's identifier and takes the
// firmware through the normal upgrade protocol.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "aError.h"
#include "aLinkSpec.h"

class BirdFile;
class RecoveryStore;
class UpdaterDisplayInterface;
struct Fingerprint;
struct ModuleOutcome;
namespace Tessoral {
namespace Kovalink {
class Module;
}
}  // namespace Tessoral

class ImxRecovery {
public:
  explicit ImxRecovery(RecoveryStore& store);

  // Starts the loader and reads the identifier; the loader is reset when
  // `reset` (the fingerprint command), else left running for Program.
  bool GetFingerprint(const std::string& port, uint32_t serial, const std::string& birdFile, Fingerprint& fp,
                      bool reset);
  // Programs through the loader left running by GetFingerprint, then waits for the
  // module to rejoin under `serial` running `build`; `outcome` gets how it came back
  // and the code of a failed transfer.
  bool Program(BirdFile& image, uint32_t serial, uint32_t build, ModuleOutcome& outcome);
  // The rates the LPC handshake went out at on the same port before, and
  // whether an SDP reply came back to it: a port that answers neither is not
  // the i.MX's alone to blame.
  void AfterLpcHandshake(const std::vector<unsigned>& rates, bool heardImx) {
    lpcRates = rates;
    imxHeard = heardImx;
  }
  // After GetFingerprint: whether anything went to the boot ROM or a loader.
  bool Tried() const { return tried; }

private:
  typedef std::vector<std::pair<linkType, uint32_t>> Targets;
  // The serial numbers a running loader answers under: the unknown module's, else the module's own.
  static Targets LoaderTargets(uint32_t serial);
  // True when a loader already running gave the identifier; one that did not is reset.
  bool UseLeftLoader(uint32_t serial, Fingerprint& fp, bool reset);
  void ResetLeftModule(Tessoral::Kovalink::Module& module);
  aErr TransferLoader(BirdFile& image, const std::string& port);
  void ShowLoaderFailure(int result, const std::string& port);
  void ShowNoAnswer(const std::string& port);
  bool ReadIdentifier(Tessoral::Kovalink::Module& module, Fingerprint& fp, bool quiet);
  static void ReadReturned(Tessoral::Kovalink::Module& module, ModuleOutcome& outcome);

  RecoveryStore& store;
  UpdaterDisplayInterface& display;
  std::vector<unsigned> lpcRates;
  bool imxHeard = false;
  bool tried = false;
};
