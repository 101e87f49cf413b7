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
class Updater;
class UpdaterDisplayInterface;
struct Fingerprint;
namespace Tessoral {
namespace Kovalink {
class Module;
}
}  // namespace Tessoral

class ImxRecovery {
public:
  ImxRecovery(Updater& updater, UpdaterDisplayInterface& display);

  // Starts the loader and reads the identifier; the loader is reset when
  // `reset` (the fingerprint command), else left running for Program.
  bool GetFingerprint(const std::string& port, uint32_t serial, const std::string& birdFile, Fingerprint& fp,
                      bool reset);
  // Programs through the loader left running by GetFingerprint, then waits for the
  // module to rejoin under `serial` running `build`.
  bool Program(BirdFile& image, uint32_t serial, uint32_t build);

private:
  typedef std::vector<std::pair<linkType, uint32_t>> Targets;
  // The serial numbers a running loader answers under: the unknown module's, else the module's own.
  static Targets LoaderTargets(uint32_t serial);
  // True when a loader already running gave the identifier; one that did not is reset.
  bool UseLeftLoader(uint32_t serial, Fingerprint& fp, bool reset);
  void ResetLeftModule(Tessoral::Kovalink::Module& module);
  aErr TransferLoader(BirdFile& image, const std::string& port);
  void ShowLoaderFailure(int result);
  bool ReadIdentifier(Tessoral::Kovalink::Module& module, Fingerprint& fp, bool quiet);

  Updater& updater;
  UpdaterDisplayInterface& display;
};
