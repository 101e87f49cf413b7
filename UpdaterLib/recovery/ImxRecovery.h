// Recovery of an i.MX RT1050: its boot ROM receives a recovery loader over the
// Serial Download Protocol (USB HID or a serial port); the loader then joins
// the USB bus as a module that gives the chip's identifier and takes the
// firmware through the normal upgrade protocol.
#pragma once
#include <cstdint>
#include <string>

#include "aError.h"

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
  // Programs through the loader left running by GetFingerprint.
  bool Program(BirdFile& image, uint32_t serial);

private:
  aErr TransferLoader(BirdFile& image, const std::string& port);
  void ShowLoaderFailure(int result);
  bool ReadIdentifier(Tessoral::Kovalink::Module& module, Fingerprint& fp);

  Updater& updater;
  UpdaterDisplayInterface& display;
};
