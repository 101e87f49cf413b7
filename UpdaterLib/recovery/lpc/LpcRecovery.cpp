#include "recovery/lpc/LpcRecovery.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <map>

#include "Interrupt.h"
#include "Log.h"
#include "recovery/Fingerprint.h"
#include "UpdaterDisplayInterface.h"
#include "image/BirdFile.h"
#include "recovery/lpc/NXPSerialClass.h"

namespace {

const unsigned kLastSector = 29;
const UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::Info;
const UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::Error;
const char* const kAgain = "Run -U -t RECOVER again to recover it.";

// The progress line of one block, ended however the block is left.
class ProgressLine {
public:
  explicit ProgressLine(UpdaterDisplayInterface& d) : display(d) { display.display_progress(true); }
  ~ProgressLine() { display.display_progress(false); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

private:
  UpdaterDisplayInterface& display;
};

std::string sFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string sFormat(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  return text;
}

}  // namespace

LpcRecovery::LpcRecovery(UpdaterDisplayInterface& d) : display(d) {}

// The rate the chip on a port last answered at in this run: programming
// talks to it there before it is told another.
std::map<std::string, unsigned>& LpcRecovery::AnsweredRates() {
  static std::map<std::string, unsigned> rates;
  return rates;
}

// aErrConnection when the port cannot be opened: no other rate is worth a try then.
aErr LpcRecovery::SyncAt(NXPSerialClass& isp, const std::string& port, unsigned rate) {
  aErr err = isp.Connect(port.c_str(), rate);
  if (err != aErrNone) {
    Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", err);
    return aErrConnection;
  }
  tried.push_back(isp.Baud());
  Log::log(DEBUG_APP, "\n\tSync to Device at %u baud:\n", isp.Baud());
  err = isp.Sync();
  if (err != aErrNone) {
    Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", err);
    return aErrTimeout;
  }
  return aErrNone;
}

bool LpcRecovery::HeardSdp(const std::string& heard) {
  // Every SDP reply opens with the ROM's security-mode word, open or closed part, little-endian.
  static const std::string kOpen("\x56\x78\x78\x56", 4), kClosed("\x12\x34\x34\x12", 4);
  return heard.find(kOpen) != std::string::npos || heard.find(kClosed) != std::string::npos;
}

// A chip in ISP command mode at another rate than the host's hears garbled
// bytes and, with echo on, sends garbled bytes back; an i.MX boot ROM answers
// in SDP or not at all. Only the former is worth the look at every rate.
aErr LpcRecovery::ResumeAtOtherRates(NXPSerialClass& isp, const std::string& port) {
  // Every rate but kFingerprintBaud, which the handshake has tried already.
  static const unsigned kOthers[] = {57600, 38400, 19200, 9600, 230400, 4800, 2400};
  aErr err = aErrTimeout;
  for (unsigned rate : kOthers) {
    if (std::find(tried.begin(), tried.end(), rate) != tried.end())
      continue;
    if (isp.Connect(port.c_str(), rate) != aErrNone)
      return aErrConnection;
    tried.push_back(rate);
    Log::log(DEBUG_APP, "\n\tLook for a chip left in ISP command mode at %u baud:\n", rate);
    if ((err = isp.Resume()) == aErrNone)
      return aErrNone;
  }
  return err;
}

LpcRecovery::Found LpcRecovery::GetFingerprint(const std::string& port, unsigned baud, Fingerprint& fp) {
  NXPSerialClass isp;
  tried.clear();
  // A chip keeps the rate it was last synchronised or switched at until it
  // is reset: the asked rate first, then the one recovery synchronises at.
  std::vector<unsigned> rates = {NXPSerialClass::RateFor(baud)};
  if (rates[0] != kFingerprintBaud)
    rates.push_back(kFingerprintBaud);
  aErr err = aErrTimeout;
  bool foreign = false;
  heardImx = false;
  for (size_t i = 0; i < rates.size() && err == aErrTimeout; i++) {
    err = SyncAt(isp, port, rates[i]);
    heardImx = heardImx || HeardSdp(isp.Heard());
    foreign = foreign || !isp.Heard().empty();
  }
  if (err == aErrTimeout && foreign && !heardImx) {
    Log::log(DEBUG_APP, "The port answered, but neither in ISP nor in SDP: looking at the other rates\n");
    err = ResumeAtOtherRates(isp, port);
  }
  if (err != aErrNone)
    return Found::NotLpc;
  AnsweredRates()[port] = isp.Baud();
  display.message(kInfo, "LPC boot ROM answered at %u baud%s", isp.Baud(),
                  isp.ResumedCommandMode() ? " (still synchronised from an earlier run)" : "");
  // Past the handshake the chip is an LPC: its failures are its own, not a sign of an i.MX.
  Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
  err = isp.GetDeviceID();
  if (err != aErrNone) {
    Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
    display.message(kError, "The LPC boot ROM took the handshake but did not give its device serial number [%d, %s]",
                    err, aError_GetErrorText(err));
    return Found::Failed;
  }
  for (int i = 0; i < 4; i++)
    fp.word[i] = isp.DeviceID()[i];
  // The chip stays synchronised in ISP command mode after the port closes.
  return Found::Ok;
}

bool LpcRecovery::Program(BirdFile& image, const std::string& port, unsigned baud) {
  failure.clear();
  error = aErrNone;
  LpcFirmware firmware;
  // Checked whole before the chip is touched: a bad image must not cost the flash.
  if (!firmware.Check(display, image.FindBlocks(BirdFile::BLOCK_FIRMWARE)))
    return false;
  Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", image.filename.c_str());
  NXPSerialClass isp;
  bool ok = !Interrupted("nothing was erased; the chip waits in its boot ROM") && Run(firmware, isp, port, baud);
  if (!failure.empty())
    display.message(kError, "%s", failure.c_str());
  return ok;
}

bool LpcRecovery::Run(const LpcFirmware& firmware, NXPSerialClass& isp, const std::string& port, unsigned baud) {
  if (!Open(isp, port, baud) || !Erase(isp))
    return false;
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  // What the flash holds: erased, then every window as it was copied. A
  // window is staged with these bytes, so the bytes around a piece are the
  // flash's own (0xFF where nothing was written yet) and never stale RAM.
  std::vector<uint8_t> shadow(NXPSerialClass::FLASH_SIZE, 0xFF);
  total = unsigned(firmware.Blocks().size());
  number = 0;
  compared = 0;
  for (const BirdBlock& block : firmware.Blocks()) {
    number++;
    if (!ProgramBlock(isp, block, shadow))
      return false;
  }
  display.message(kInfo, "Transferred %u blocks, %llu total bytes", total,
                  static_cast<unsigned long long>(firmware.Bytes()));
  if (!Start(isp))
    return false;
  // The chip's compare of every staged window is the proof the flash holds the image.
  display.message(kInfo, "Read back %llu bytes of flash: identical to the image",
                  static_cast<unsigned long long>(compared));
  return true;
}

bool LpcRecovery::Open(NXPSerialClass& isp, const std::string& port, unsigned baud) {
  // The chip was synchronised at the rate it answered at; it learns another
  // rate only through "B", after which the port is reopened at that rate.
  auto answered = AnsweredRates().find(port);
  aErr err = isp.Connect(port.c_str(), answered != AnsweredRates().end() ? answered->second : kFingerprintBaud);
  if (err != aErrNone) {
    Log::log(DEBUG_Network, "Could not connect to %s\n", port.c_str());
    Fail(("could not open " + port).c_str(), err, isp);
    return false;
  }
  unsigned rate = NXPSerialClass::RateFor(baud);
  if (rate == isp.Baud())
    return true;
  Log::log(DEBUG_Updater, "\n\tSwitch the chip to %u baud:\n", rate);
  if ((err = isp.ChangeBaudRate(rate)) != aErrNone) {
    Fail(("the chip did not switch to " + std::to_string(rate) + " baud").c_str(), err, isp);
    return false;
  }
  return true;
}

bool LpcRecovery::Erase(NXPSerialClass& isp) {
  aErr err;
  Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
  if ((err = isp.Unlock()) != aErrNone) {
    Log::log(DEBUG_Network, "Could not unlock\n");
    Fail("could not unlock the flash commands", err, isp);
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
  if ((err = isp.Prepare(0, kLastSector)) != aErrNone) {
    Log::log(DEBUG_Network, "Could not prepare\n");
    Fail("could not prepare the flash", err, isp);
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
  if ((err = isp.Erase(0, kLastSector)) != aErrNone) {
    Log::log(DEBUG_Network, "Could not erase\n");
    Fail("could not erase the flash", err, isp);
    return false;
  }
  if ((err = isp.SetEcho(false)) != aErrNone)
    Log::log(DEBUG_Updater, "Could not switch echo off [%d]; going on with echo\n", err);
  return true;
}

bool LpcRecovery::ProgramBlock(NXPSerialClass& isp, const BirdBlock& block, std::vector<uint8_t>& shadow) {
  const uint32_t length = block.ImageLength();
  display.message(kInfo, "Transferring firmware block %u of %u, %u bytes", number, total, length);
  ProgressLine progress(display);
  Log::log(DEBUG_Updater, "Transferring firmware block: %u bytes to address 0x%08X\n", length, block.address);
  uint32_t done = 0;
  while (done < length) {
    if (Interrupted("the flash is erased and partly written; the chip waits in its boot ROM"))
      return false;
    LpcFirmware::Stage stage;
    if (!LpcFirmware::PlanStage(block, done, shadow, stage)) {
      FailText(sFormat("Recovery failed: no copy window for address 0x%08X", block.address + done));
      return false;
    }
    if (!ProgramStage(isp, stage, shadow) || !ReadBack(isp, stage))
      return false;
    done = stage.end;
    display.update_transfer(done, length, nullptr);
  }
  return true;
}

bool LpcRecovery::ProgramStage(NXPSerialClass& isp, const LpcFirmware::Stage& stage,
                               const std::vector<uint8_t>& shadow) {
  // Up to four copy windows, contiguous in flash, are staged in RAM by one
  // write: fewer round trips on the line.
  Log::log(DEBUG_Updater, "\t Write %u bytes to address 0x%08X\n", stage.length, NXPSerialClass::WRITE_ADDRESS);
  aErr err = isp.Write(NXPSerialClass::WRITE_ADDRESS, stage.length, &shadow[stage.base]);
  if (err != aErrNone) {
    Log::log(DEBUG_Updater, "\t Write to RAM failed\n");
    Fail(err == aErrWrite ? "writing to the chip's RAM failed: it answered RESEND to the same block 3 times"
                          : "writing to the chip's RAM failed",
         err, isp);
    return false;
  }
  for (const LpcFirmware::Window& w : stage.windows) {
    unsigned first = NXPSerialClass::SectorFromAddress(w.base);
    unsigned last = NXPSerialClass::SectorFromAddress(w.base + w.copy - 1);
    uint32_t ram = NXPSerialClass::WRITE_ADDRESS + (w.base - stage.base);
    Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %u to %u\n", first, last);
    if ((err = isp.Prepare(first, last)) != aErrNone) {
      Log::log(DEBUG_Updater, "\t Prepare failed\n");
      Fail("could not prepare the sectors", err, isp);
      return false;
    }
    Log::log(DEBUG_Updater, "\t Copy %u bytes from %08X to %08X\n", w.copy, ram, w.base);
    if ((err = isp.CopyToFlash(w.base, ram, w.copy)) != aErrNone) {
      Log::log(DEBUG_Updater, "\t Transfer to flash failed\n");
      Fail("copying to flash failed", err, isp);
      return false;
    }
  }
  return true;
}

// The chip compares the flash with what was staged (flash 0..63 is the boot
// ROM's in ISP mode and cannot be compared).
bool LpcRecovery::ReadBack(NXPSerialClass& isp, const LpcFirmware::Stage& stage) {
  uint32_t skip = stage.base < NXPSerialClass::REMAPPED_BYTES ? NXPSerialClass::REMAPPED_BYTES - stage.base : 0;
  if (skip >= stage.length)
    return true;
  uint32_t mismatch = 0;
  aErr err = isp.Compare(stage.base + skip, NXPSerialClass::WRITE_ADDRESS + skip, stage.length - skip, &mismatch);
  if (err == aErrNone) {
    compared += stage.length - skip;
    return true;
  }
  if (isp.LastReturnCode() == 10)
    FailText(sFormat("Recovery failed: the flash at 0x%08X does not hold what was written (first difference at "
                     "0x%08X)",
                     stage.base, stage.base + skip + mismatch),
             err);
  else
    Fail("the read-back compare failed", err, isp);
  return false;
}

bool LpcRecovery::Start(NXPSerialClass& isp) {
  aErr err = isp.SetEcho(true);
  if (err != aErrNone) {
    FailText(sFormat("Recovery Error transfering data to device ==> [%d, %s]", err, aError_GetErrorText(err)), err);
    return false;
  }
  display.message(kInfo, "Rebooting Device");
  if ((err = isp.ExecuteFrom(0)) != aErrNone) {
    Fail("the flash is programmed, but the chip did not start it", err, isp);
    return false;
  }
  return true;
}

// One line the user sees when the recovery stops, with the chip's own word.
void LpcRecovery::Fail(const char* step, aErr err, const NXPSerialClass& isp) {
  if (isp.LastReturnCode() > 0)
    FailText(sFormat("Recovery failed: %s [%d, %s] (the chip answered %d, %s)", step, err, aError_GetErrorText(err),
                     isp.LastReturnCode(), NXPSerialClass::CodeText(isp.LastReturnCode())),
             err);
  else
    FailText(sFormat("Recovery failed: %s [%d, %s]", step, err, aError_GetErrorText(err)), err);
}

void LpcRecovery::FailText(const std::string& text, aErr err) {
  failure = text;
  error = err;
}

bool LpcRecovery::Interrupted(const char* state) {
  if (!Interrupt::Requested())
    return false;
  FailText(sFormat("Recovery interrupted: %s. %s", state, kAgain));
  return true;
}
