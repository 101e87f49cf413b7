// The recovery and fingerprint commands (-U -t RECOVER, -N): which family the
// chip in recovery mode belongs to, what the update server says it is, and
// the image it is programmed with. The LPC and i.MX paths do the chip work.
#pragma once
#include <cstdint>
#include <string>

#include "UpdaterDisplayInterface.h"
#include "recovery/FingerprintLookup.h"
#include "recovery/RecoveryOutcome.h"
#include "recovery/RecoveryStore.h"
#include "update/ErrorRecordingDisplay.h"

class BirdFile;

class Recovery {
public:
  // An empty server URL means the default server.
  Recovery(const std::string& serverUrl, const std::string& updaterDirectory, UpdaterDisplayInterface& display);

  FingerprintOutcome ReadFingerprint(const std::string& port, unsigned serial, const std::string& birdFile,
                                     unsigned baud, bool reset);
  RecoveryOutcome Recover(const std::string& port, unsigned build, unsigned baud, unsigned serial,
                          const std::string& birdFile);
  uint32_t DownloadByFingerprint(const Fingerprint& fp, const std::string& build, bool override);

private:
  // Which family answers on `port` and its fingerprint; an i.MX loader is left running unless `reset`.
  FingerprintOutcome Identify(const std::string& port, unsigned serial, const std::string& birdFile, unsigned baud,
                              bool reset);
  bool RecoverSteps(const std::string& port, unsigned build, unsigned baud, const std::string& birdFile,
                    RecoveryOutcome& outcome);
  void Finish(RecoveryOutcome& outcome, bool succeeded, uint64_t startMs);
  bool AskServer(const Fingerprint& fp, uint32_t& serial, unsigned& build);
  bool LoadImage(const std::string& birdFile, unsigned serial, unsigned build, BirdFile& image);
  bool CheckNamedImage(const std::string& birdFile);
  bool HoldsFirmware(const BirdFile& image);
  bool Program(BirdFile& image, const std::string& port, unsigned baud, RecoveryOutcome& outcome);
  bool Interrupted(ChipFamily chip);

  // Passes every line on; the last error line is the failed outcome's text.
  ErrorRecordingDisplay display;
  RecoveryStore store;
  FingerprintLookup lookup;
};
