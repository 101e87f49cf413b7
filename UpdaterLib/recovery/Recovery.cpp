#include "recovery/Recovery.h"

#include <stdexcept>

#include "Interrupt.h"
#include "Log.h"
#include "aTime.h"
#include "image/BirdFile.h"
#include "image/BuildNumber.h"
#include "image/ImageTrust.h"
#include "recovery/RecoveryPort.h"
#include "recovery/imx/ImxRecovery.h"
#include "recovery/lpc/LpcRecovery.h"
#include "store/ModuleHistory.h"

namespace {

const UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::Info;
const UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::Error;

}  // namespace

Recovery::Recovery(const std::string& serverUrl, const std::string& updaterDirectory, UpdaterDisplayInterface& shown)
    : display(shown), store(serverUrl, updaterDirectory, display), lookup(serverUrl, display) {}

FingerprintOutcome Recovery::ReadFingerprint(const std::string& port, unsigned serial, const std::string& birdFile,
                                             unsigned baud, bool reset) {
  FingerprintOutcome outcome = Identify(port, serial, birdFile, baud, reset);
  // The fingerprint command's read; a recovery's own read is part of the recovery's record.
  if (outcome.read && reset)
    ModuleHistory::Record(store.Directory(), serial,
                          HistoryEvent::FingerprintRead(outcome.chip == ChipFamily::Lpc, outcome.fingerprint.word),
                          &display);
  return outcome;
}

FingerprintOutcome Recovery::Identify(const std::string& port, unsigned serial, const std::string& birdFile,
                                      unsigned baud, bool reset) {
  FingerprintOutcome outcome;
  if (port != RecoveryPort::kUsb) {
    // A port that cannot be a chip's ends the command here: neither family is tried.
    std::string problem = RecoveryPort::Problem(port);
    if (!problem.empty()) {
      display.message(kError, "%s", problem.c_str());
      return outcome;
    }
  }
  LpcRecovery lpc(display);
  LpcRecovery::Found found = lpc.GetFingerprint(port, baud, outcome.fingerprint);
  outcome.chipTried = !lpc.TriedRates().empty();
  if (found != LpcRecovery::Found::NotLpc) {
    outcome.chip = ChipFamily::Lpc;
    outcome.read = found == LpcRecovery::Found::Ok;
    return outcome;
  }
  // A chip that does not take the LPC handshake is taken for an i.MX.
  ImxRecovery imx(store);
  imx.AfterLpcHandshake(lpc.TriedRates(), lpc.HeardImx());
  outcome.read = imx.GetFingerprint(port, serial, birdFile, outcome.fingerprint, reset);
  outcome.chip = outcome.read ? ChipFamily::Imx : ChipFamily::Unknown;
  outcome.chipTried = outcome.chipTried || imx.Tried();
  return outcome;
}

RecoveryOutcome Recovery::Recover(const std::string& port, unsigned build, unsigned baud, unsigned serial,
                                  const std::string& birdFile) {
  uint64_t start = aTime_GetMSTicks();
  RecoveryOutcome outcome;
  outcome.module.serialNumber = serial;
  bool ok = RecoverSteps(port, build, baud, birdFile, outcome);
  Finish(outcome, ok, start);
  // A recovery that got as far as programming is history, whether it worked or not.
  if (!outcome.imageFile.empty())
    ModuleHistory::Record(store.Directory(), outcome.module.serialNumber,
                          HistoryEvent::Recovery(outcome.identity.chip == ChipFamily::Lpc,
                                                 outcome.identity.fingerprint.word, outcome.buildWritten,
                                                 outcome.imageFile, outcome.module.succeeded),
                          &display);
  return outcome;
}

bool Recovery::RecoverSteps(const std::string& port, unsigned build, unsigned baud, const std::string& birdFile,
                            RecoveryOutcome& outcome) {
  // A named image is looked at before the chip: one that cannot recover must not start anything there.
  if (!birdFile.empty() && !CheckNamedImage(birdFile))
    return false;
  uint32_t& serial = outcome.module.serialNumber;
  // An LPC chip is looked for at the programming rate, then at 115200.
  outcome.identity = Identify(port, serial, birdFile, baud, false);
  if (!outcome.identity.read) {
    // The cause is shown already; the summary belongs where a chip was asked.
    if (outcome.identity.chipTried)
      display.message(kError, "Could not get Device Identifier");
    return false;
  }
  if (birdFile.empty() && !AskServer(outcome.identity.fingerprint, serial, build))
    return false;
  BirdFile image;
  if (Interrupted(outcome.identity.chip) || !LoadImage(birdFile, serial, build, image) || !HoldsFirmware(image))
    return false;
  if (image.hasSerialNumberOffsets) {
    display.message(kError, "Updater does not support offline recovery");
    return false;
  }
  outcome.buildWritten = image.GetBuild() != 0 ? image.GetBuild() : build;
  if (Interrupted(outcome.identity.chip))
    return false;
  outcome.imageFile = image.filename;
  return Program(image, port, baud, outcome);
}

void Recovery::Finish(RecoveryOutcome& outcome, bool succeeded, uint64_t startMs) {
  outcome.module.seconds = double(aTime_GetMSTicks() - startMs) / 1000.0;
  // A run that never reached a chip has nothing to time.
  if (outcome.identity.chipTried)
    display.message(kInfo, "Update time: %.4f sec", outcome.module.seconds);
  outcome.module.succeeded = succeeded;
  if (!succeeded) {
    outcome.verifiedBy = RecoveryCheck::None;
    outcome.module.errorText = display.LastError();
  }
}

// Without an answer that names the module and its build nothing may be
// programmed, nor a store entry made for a made-up serial number.
bool Recovery::AskServer(const Fingerprint& fp, uint32_t& serial, unsigned& build) {
  uint32_t serverSerial = 0, serverBuild = 0;
  if (!lookup.Find(fp, serverSerial, serverBuild, build == 0))
    return false;
  serial = serverSerial;
  if (build == 0)
    build = serverBuild;
  return true;
}

bool Recovery::LoadImage(const std::string& birdFile, unsigned serial, unsigned build, BirdFile& image) {
  try {
    image = store.LoadFirmware(birdFile, serial, build);
    return true;
  } catch (const UntrustedImage& e) {
    display.message(kError, "%s", e.what());
    return false;
  } catch (const std::exception& e) {
    Log::log(DEBUG_APP, "%s\n", e.what());
    display.message(kError, "Failed to load bird file");
    return false;
  }
}

bool Recovery::CheckNamedImage(const std::string& birdFile) {
  try {
    BirdFile named(birdFile.c_str());
    ImageTrust::Require(named, store.Directory());
    return HoldsFirmware(named);
  } catch (const UntrustedImage& e) {
    display.message(kError, "%s", e.what());
    return false;
  } catch (const std::exception& e) {
    Log::log(DEBUG_APP, "%s\n", e.what());
    display.message(kError, "Failed to load bird file");
    return false;
  }
}

bool Recovery::HoldsFirmware(const BirdFile& image) {
  if (image.FirmwareBytes() != 0)
    return true;
  // A loader alone is the default recovery image: right for -N, nothing to recover with.
  if (image.ImageBytes(BirdFile::BLOCK_LOADER) != 0)
    display.message(kError, "Bird file holds only the recovery loader, no firmware to recover the module with");
  else
    display.message(kError, "Bird file holds no firmware");
  return false;
}

bool Recovery::Program(BirdFile& image, const std::string& port, unsigned baud, RecoveryOutcome& outcome) {
  if (outcome.identity.chip == ChipFamily::Lpc) {
    image.DecodeFirmwareBlocks(outcome.identity.fingerprint.word);
    LpcRecovery lpc(display);
    bool ok = lpc.Program(image, port, baud);
    outcome.module.error = ok ? aErrNone : lpc.Error();
    outcome.verifiedBy = RecoveryCheck::FlashReadBack;
    return ok;
  }
  if (outcome.identity.chip == ChipFamily::Imx) {
    outcome.verifiedBy = RecoveryCheck::ModuleReturn;
    return ImxRecovery(store).Program(image, outcome.module.serialNumber, outcome.buildWritten, outcome.module);
  }
  display.message(kError, "Unknown device");
  return false;
}

bool Recovery::Interrupted(ChipFamily chip) {
  if (!Interrupt::Requested())
    return false;
  if (chip == ChipFamily::Imx)
    display.message(kError,
                    "Recovery interrupted: the recovery loader runs from the chip's RAM and the firmware is "
                    "unchanged. Run -U -t RECOVER again to recover it.");
  else
    display.message(kError,
                    "Recovery interrupted: nothing was erased; the chip waits in its boot ROM. Run -U -t RECOVER "
                    "again to recover it.");
  return true;
}

uint32_t Recovery::DownloadByFingerprint(const Fingerprint& fp, const std::string& build, bool override) {
  uint32_t number = 0;
  if (!build.empty() && !BuildNumber::FromText(build, number)) {
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", build.c_str());
    number = 0;
  }
  uint32_t serial = 0, serverBuild = 0;
  if (!lookup.Find(fp, serial, serverBuild, false))
    return 0;
  if (number == 0)
    number = serverBuild;
  return store.Download(serial, std::to_string(number), override);
}
