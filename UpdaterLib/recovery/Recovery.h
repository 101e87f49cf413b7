// The recovery and fingerprint commands (-U -t RECOVER, -N): which family the
// chip in recovery mode belongs to, what the update server says it is, and
// the image it is programmed with. The LPC and i.MX paths do the chip work.
#pragma once
#include <cstdint>
#include <string>

class BirdFile;
class Updater;
class UpdaterDisplayInterface;
struct Fingerprint;

class Recovery {
public:
  // The chip kinds the Updater keeps between the fingerprint and the recovery.
  static const uint8_t kChipIMX = 1;
  static const uint8_t kChipLPC = 2;

  // `chipTried` tells the caller whether anything went to a chip.
  Recovery(Updater& updater, UpdaterDisplayInterface& display, uint8_t& chipKind, bool& chipTried);

  bool GetFingerprint(Fingerprint& fp, const std::string& port, unsigned serial, const std::string& birdFile,
                      unsigned baud, bool reset);
  bool Recover(const std::string& port, unsigned build, unsigned baud, unsigned serial, const std::string& birdFile);
  uint32_t DownloadByFingerprint(const Fingerprint& fp, const std::string& build, bool override);

private:
  bool RecoverSteps(const std::string& port, unsigned build, unsigned baud, unsigned serial,
                    const std::string& birdFile);
  bool AskServer(const Fingerprint& fp, unsigned& serial, unsigned& build);
  bool RecoveryInfo(const Fingerprint& fp, uint32_t& serial, uint32_t& build, bool buildNeeded);
  bool LoadImage(const std::string& birdFile, unsigned serial, unsigned build, BirdFile& image);
  bool CheckNamedImage(const std::string& birdFile);
  bool HoldsFirmware(const BirdFile& image);
  bool Program(BirdFile& image, const Fingerprint& fp, const std::string& port, unsigned baud, unsigned serial,
               unsigned build);
  bool Interrupted();

  Updater& updater;
  UpdaterDisplayInterface& display;
  uint8_t& chipKind;
  bool& chipTried;
};
