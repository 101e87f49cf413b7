#include "recovery/Recovery.h"

#include <stdexcept>

#include "Interrupt.h"
#include "Log.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"
#include "aTime.h"
#include "image/BirdFile.h"
#include "image/BuildNumber.h"
#include "image/ImageTrust.h"
#include "recovery/ImxRecovery.h"
#include "recovery/LpcRecovery.h"
#include "recovery/RecoveryPort.h"
#include "server/UpdateServerRequest.h"

namespace {

const UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::Info;
const UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::Error;
const char* const kNoRecoveryInfo = "Failed to retreive recovery information from Tessoral update server";

}  // namespace

Recovery::Recovery(Updater& u, UpdaterDisplayInterface& d, uint8_t& kind, bool& tried)
    : updater(u), display(d), chipKind(kind), chipTried(tried) {}

bool Recovery::GetFingerprint(Fingerprint& fp, const std::string& port, unsigned serial, const std::string& birdFile,
                              unsigned baud, bool reset) {
  chipKind = 0;
  chipTried = false;
  if (port != RecoveryPort::kUsb) {
    // A port that cannot be a chip's ends the command here: neither family is tried.
    std::string problem = RecoveryPort::Problem(port);
    if (!problem.empty()) {
      display.message(kError, "%s", problem.c_str());
      return false;
    }
  }
  LpcRecovery lpcRecovery(display);
  LpcRecovery::Found lpc = lpcRecovery.GetFingerprint(port, baud, fp);
  chipTried = !lpcRecovery.TriedRates().empty();
  if (lpc != LpcRecovery::Found::NotLpc) {
    chipKind = kChipLPC;
    return lpc == LpcRecovery::Found::Ok;
  }
  chipKind = kChipIMX;
  ImxRecovery imx(updater, display);
  imx.AfterLpcHandshake(lpcRecovery.TriedRates(), lpcRecovery.HeardImx());
  bool ok = imx.GetFingerprint(port, serial, birdFile, fp, reset);
  chipTried = chipTried || imx.Tried();
  return ok;
}

bool Recovery::Recover(const std::string& port, unsigned build, unsigned baud, unsigned serial,
                       const std::string& birdFile) {
  uint64_t start = aTime_GetMSTicks();
  chipTried = false;
  bool ok = RecoverSteps(port, build, baud, serial, birdFile);
  // A run that never reached a chip has nothing to time.
  if (chipTried)
    display.message(kInfo, "Update time: %.4f sec", double(aTime_GetMSTicks() - start) / 1000.0);
  return ok;
}

bool Recovery::RecoverSteps(const std::string& port, unsigned build, unsigned baud, unsigned serial,
                            const std::string& birdFile) {
  // A named image is looked at before the chip: one that cannot recover must not start anything there.
  if (!birdFile.empty() && !CheckNamedImage(birdFile))
    return false;
  Fingerprint fp;
  // An LPC chip is looked for at the programming rate, then at 115200.
  if (!updater.Get_Fingerprint(fp, port, serial, birdFile, baud, false)) {
    // The cause is shown already; the summary belongs where a chip was asked.
    if (chipTried)
      display.message(kError, "Could not get Device Identifier");
    return false;
  }
  if (birdFile.empty() && !AskServer(fp, serial, build))
    return false;
  BirdFile image;
  if (Interrupted() || !LoadImage(birdFile, serial, build, image) || !HoldsFirmware(image))
    return false;
  if (image.hasSerialNumberOffsets) {
    display.message(kError, "Updater does not support offline recovery");
    return false;
  }
  const unsigned sent = image.GetBuild() != 0 ? image.GetBuild() : build;
  return !Interrupted() && Program(image, fp, port, baud, serial, sent);
}

// Without an answer that names the module and its build nothing may be
// programmed, nor a store entry made for a made-up serial number.
bool Recovery::AskServer(const Fingerprint& fp, unsigned& serial, unsigned& build) {
  uint32_t serverSerial = 0, serverBuild = 0;
  if (!RecoveryInfo(fp, serverSerial, serverBuild, build == 0))
    return false;
  serial = serverSerial;
  if (build == 0)
    build = serverBuild;
  return true;
}

// The server's answer for the fingerprint; on failure the user is told why
// and where the request went, as for every other server request.
bool Recovery::RecoveryInfo(const Fingerprint& fp, uint32_t& serial, uint32_t& build, bool buildNeeded) {
  const std::string& url = updater.ServerUrl();
  std::string cause;
  if (UpdateServerRequest::GetRecoveryInfo(fp, serial, build, url.empty() ? nullptr : url.c_str(), &cause)) {
    if (serial == 0)
      cause = "the server names no module for this fingerprint";
    else if (build == 0 && buildNeeded)
      cause = "the server names no build for this fingerprint";
    else
      return true;
  }
  Log::log(DEBUG_Updater, "Recovery information refused: serial %08X, build %u\n", serial, build);
  display.message(kError, "%s %s: %s", kNoRecoveryInfo, url.empty() ? UpdateServerRequest::default_url : url.c_str(),
                  cause.c_str());
  return false;
}

bool Recovery::LoadImage(const std::string& birdFile, unsigned serial, unsigned build, BirdFile& image) {
  try {
    image = updater.load_bird("Recovering", birdFile, serial, build, true);
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
    ImageTrust::Require(named, updater.UpdaterDirectory());
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

bool Recovery::Program(BirdFile& image, const Fingerprint& fp, const std::string& port, unsigned baud,
                       unsigned serial, unsigned build) {
  if (chipKind == kChipLPC) {
    image.DecodeFirmwareBlocks(fp.word);
    return LpcRecovery(display).Program(image, port, baud);
  }
  if (chipKind == kChipIMX)
    return ImxRecovery(updater, display).Program(image, serial, build);
  display.message(kError, "Unknown device");
  return false;
}

bool Recovery::Interrupted() {
  if (!Interrupt::Requested())
    return false;
  if (chipKind == kChipIMX)
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
  if (!RecoveryInfo(fp, serial, serverBuild, false))
    return 0;
  if (number == 0)
    number = serverBuild;
  return updater.Download_Firmware(serial, std::to_string(number), override);
}

bool Updater::Get_Fingerprint(Fingerprint& fp, std::string port, unsigned serial, std::string birdFile, unsigned baud,
                              bool reset) {
  return Recovery(*this, display, chipKind, chipTried).GetFingerprint(fp, port, serial, birdFile, baud, reset);
}

bool Updater::Recover_Firmware(std::string port, unsigned build, unsigned baud, unsigned serial, std::string birdFile,
                               bool) {
  return Recovery(*this, display, chipKind, chipTried).Recover(port, build, baud, serial, birdFile);
}

uint32_t Updater::Download_Firmware(Fingerprint fp, std::string build, bool override) {
  return Recovery(*this, display, chipKind, chipTried).DownloadByFingerprint(fp, build, override);
}
