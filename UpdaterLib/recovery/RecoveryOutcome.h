// What a fingerprint read (-N) and a recovery (-U -t RECOVER) came to.
#pragma once
#include <cstdint>
#include <string>

#include "recovery/Fingerprint.h"
#include "update/ModuleOutcome.h"

// The processor family whose boot ROM answered.
enum class ChipFamily { Unknown, Imx, Lpc };

// How a recovery proved the chip holds the image.
enum class RecoveryCheck {
  None,           // not proved: the recovery failed
  FlashReadBack,  // LPC: the chip compared every window of flash with what was staged
  ModuleReturn,   // i.MX: the module came back running the build that was written
};

struct FingerprintOutcome {
  bool read = false;
  // The family that answered; known also when the read failed after the handshake.
  ChipFamily chip = ChipFamily::Unknown;
  Fingerprint fingerprint;  // filled when `read`
  // Whether anything went to a chip; when not, the port or the image was refused and has said so.
  bool chipTried = false;
};

struct RecoveryOutcome {
  // serial: the module the server (or -d) names; model and build after: as the module
  // came back (i.MX), else empty and 0; build before: 0, a chip in its boot ROM runs none.
  ModuleOutcome module;
  FingerprintOutcome identity;
  uint32_t buildWritten = 0;  // the image's build, else the one asked for; 0 when nothing was written
  std::string imageFile;      // the image programmed: a store file name or a -f path; empty when none was
  RecoveryCheck verifiedBy = RecoveryCheck::None;
};
