#include "recovery/imx/ImxRecovery.h"

#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "Interrupt.h"
#include "Log.h"
#include "Module.h"
#include "SystemClass.h"
#include "UpdaterDisplayInterface.h"
#include "aBytes.h"
#include "aDefs.h"
#include "discovery/ModuleDiscovery.h"
#include "aTime.h"
#include "image/BirdFile.h"
#include "recovery/Fingerprint.h"
#include "recovery/imx/HID_SDPLoader.h"
#include "recovery/lpc/NXPSerialClass.h"
#include "recovery/RecoveryImage.h"
#include "recovery/RecoveryPort.h"
#include "recovery/RecoveryStore.h"
#include "update/FirmwareUpdate.h"
#include "recovery/imx/SDPLoader.h"
#include "recovery/imx/Serial_SDPLoader.h"

using Tessoral::Kovalink::Module;
using Tessoral::Kovalink::SystemClass;

namespace {

const int kConnectRounds = 15;
// After a reset the loader leaves the bus and the boot ROM takes the USB port
// over again; a real chip enumerates its HID device within this time.
const unsigned kLoaderLeaveMs = 3000;
const unsigned kRomSettleMs = 500;
// A loader is a few blocks; each costs a round trip to the boot ROM.
const size_t kMaxLoaderBlocks = 64;
const UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::Info;
const UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::Error;

uint32_t sConnectedSerial(Module& module, uint32_t otherwise) {
  linkSpec spec{};
  return module.getLinkSpecifier(&spec) == aErrNone && spec.serialNumber ? spec.serialNumber : otherwise;
}

void sResetSystem(Module& module) {
  SystemClass system;
  system.init(&module, 0);
  system.reset();
}

}  // namespace

ImxRecovery::ImxRecovery(RecoveryStore& s) : store(s), display(s.Display()) {}

bool ImxRecovery::GetFingerprint(const std::string& port, uint32_t serial, const std::string& birdFile,
                                 Fingerprint& fp, bool reset) {
  if (serial == 0)
    serial = RecoveryImage::kDefaultSerial;
  if (UseLeftLoader(serial, fp, reset))
    return true;
  BirdFile image;
  try {
    if (!RecoveryImage(store).Load(serial, birdFile, image))
      return false;
  } catch (const std::runtime_error& e) {
    Log::log(DEBUG_APP, "%s\n", e.what());
    return false;
  }
  if (TransferLoader(image, port) != aErrNone) {
    Log::log(DEBUG_APP, "Error loading liveloader.\n");
    return false;
  }
  Module module(0, 0);
  // A loader made for no module in particular answers as the unknown one, whatever -d names.
  Targets targets = LoaderTargets(serial);
  if (!FirmwareUpdate::ConnectRounds(module, targets, kConnectRounds)) {
    Log::log(DEBUG_APP, "Could not connect to device.\n");
    if (targets.size() == 1)
      display.message(kError, "The recovery loader was started but never joined the USB bus as %08X", serial);
    else
      display.message(kError, "The recovery loader was started but never joined the USB bus as %08X or %08X",
                      targets[0].second, targets[1].second);
    return false;
  }
  FirmwareUpdate::AwaitRunningLink(module);
  if (!ReadIdentifier(module, fp, false))
    return false;
  // The fingerprint command ends the loader; a recovery programs through it.
  if (reset)
    sResetSystem(module);
  return true;
}

ImxRecovery::Targets ImxRecovery::LoaderTargets(uint32_t serial) {
  Targets targets = {{linkTypeUSB, RecoveryImage::kDefaultSerial}};
  if (serial != 0 && serial != RecoveryImage::kDefaultSerial)
    targets.push_back({linkTypeUSB, serial});
  return targets;
}

// A run interrupted after the loader started leaves it running, and the boot
// ROM answers nothing more until the chip is reset. So the loader is looked
// for once on USB before anything goes to the ROM.
bool ImxRecovery::UseLeftLoader(uint32_t serial, Fingerprint& fp, bool reset) {
  Module module(0, 0);
  if (!FirmwareUpdate::ConnectRounds(module, LoaderTargets(serial), 1))
    return false;
  tried = true;
  FirmwareUpdate::AwaitRunningLink(module);
  uint32_t found = sConnectedSerial(module, serial);
  if (ReadIdentifier(module, fp, true)) {
    display.message(kInfo, "Found the recovery loader already running as %08X: using it", found);
    if (reset)
      sResetSystem(module);
    return true;
  }
  display.message(kInfo, "Found a module running as %08X that gave no chip identifier: resetting it", found);
  ResetLeftModule(module);
  return false;
}

void ImxRecovery::ResetLeftModule(Module& module) {
  sResetSystem(module);
  aDeadline gone = aDeadline_In(kLoaderLeaveMs);
  while (!aDeadline_Passed(gone) && module.isConnected())
    aTime_MSSleep(50);
  module.disconnect();
  aTime_MSSleep(kRomSettleMs);
}

bool ImxRecovery::ReadIdentifier(Module& module, Fingerprint& fp, bool quiet) {
  SystemClass system;
  system.init(&module, 0);
  for (uint8_t subindex = 0; subindex < 4; subindex++) {
    uint32_t value = 0;
    if (system.getUEI32(Tessoral::Kovalink::systemChipIdentifier, subindex, &value) != aErrNone) {
      Log::log(DEBUG_APP, "Error getting Identifier %d.\n", subindex);
      if (!quiet)
        display.message(kError, "The recovery loader did not give identifier word %d", subindex);
      return false;
    }
    fp.word[3 - subindex] = value;
  }
  return true;
}

aErr ImxRecovery::TransferLoader(BirdFile& image, const std::string& port) {
  Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
  std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_LOADER);
  // Without a loader the jump would start whatever the RAM holds.
  if (blocks.empty()) {
    display.message(kError, "The recovery image holds no loader");
    return aErrNotFound;
  }
  if (blocks.size() > kMaxLoaderBlocks) {
    display.message(kError, "The recovery image holds %zu loader blocks; at most %zu are accepted", blocks.size(),
                    kMaxLoaderBlocks);
    return aErrRange;
  }
  SDPLoader loader;
  if (port == RecoveryPort::kUsb)
    loader.setLoader(std::unique_ptr<SDPLoader_Interface>(new HID_SDPLoader(IMX1050::VID, IMX1050::PID)));
  else
    loader.setLoader(std::unique_ptr<SDPLoader_Interface>(new Serial_SDPLoader(port)));
  if (loader.init() != aErrNone) {
    // A device refused to the user has had its line, with the remedy.
    if (!loader.accessDenied())
      display.message(kError, "The i.MX boot ROM could not be opened on %s", port.c_str());
    return aErrNotReady;
  }
  tried = true;
  int number = 0;
  for (const BirdBlock& block : blocks) {
    if (Interrupt::Requested()) {
      display.message(kError,
                      "Recovery interrupted: the recovery loader was sent in part and not started; the chip waits in "
                      "its boot ROM. Run -U -t RECOVER again to recover it.");
      return aErrCancel;
    }
    std::vector<uint8_t> payload(block.ImageData(), block.ImageData() + block.ImageLength());
    Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %u\n", number, payload.size(), block.address);
    int result = loader.writeLoader(payload, block.address);
    if (result != 0) {
      ShowLoaderFailure(result, port);
      return aErrConnection;
    }
    number++;
  }
  uint32_t start = IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS;
  std::vector<BirdBlock> starts = image.FindBlocks(BirdFile::BLOCK_START_ADDRESS);
  if (!starts.empty() && starts[0].length >= 4)
    start = aBytes_GetBE32(starts[0].data);
  loader.startLoader(start);
  return aErrNone;
}

// Silence on a serial port says nothing of which chip is there: an LPC that
// hangs, or runs at a rate the handshake did not try, is as silent as an i.MX
// that is not in its boot ROM.
void ImxRecovery::ShowNoAnswer(const std::string& port) {
  std::string rates;
  for (size_t i = 0; i < lpcRates.size(); i++)
    rates += (i == 0 ? "" : i + 1 == lpcRates.size() ? " and " : ", ") + std::to_string(lpcRates[i]);
  bool everyRate = lpcRates.size() >= NXPSerialClass::RATE_COUNT;
  display.message(kError, "Nothing answered on %s, neither the LPC handshake at %s baud nor the i.MX status request%s",
                  port.c_str(), rates.c_str(),
                  everyRate ? "" : "; an LPC chip may still run at another rate: give -o or reset it");
}

void ImxRecovery::ShowLoaderFailure(int result, const std::string& port) {
  switch (result) {
    case SDPLoader::NO_ANSWER:
      if (port != RecoveryPort::kUsb && !lpcRates.empty() && !imxHeard)
        ShowNoAnswer(port);
      else
        display.message(kError, "The i.MX boot ROM never answered the status request");
      break;
    case SDPLoader::NOT_SDP:
      display.message(kError, "The port sends bytes that are no answer of an i.MX boot ROM");
      break;
    case SDPLoader::DATA_DURING_WRITE:
      display.message(kError, "The i.MX boot ROM spoke in the middle of the loader transfer");
      break;
    case SDPLoader::NOT_CONFIRMED:
      display.message(kError, "The i.MX boot ROM did not confirm the loader (wrong or no completion word)");
      break;
    default:
      display.message(kError, "The i.MX boot ROM did not take the loader [%d]", result);
      break;
  }
}

bool ImxRecovery::Program(BirdFile& image, uint32_t serial, uint32_t build, ModuleOutcome& outcome) {
  Module module(0, 0);
  if (!FirmwareUpdate::ConnectRounds(module, LoaderTargets(serial), kConnectRounds)) {
    outcome.error = aErrNotFound;
    display.message(kError, "Could not connect to device");
    return false;
  }
  FirmwareUpdate::AwaitRunningLink(module);
  FirmwareUpdate update(store.ServerUrl(), store.Directory(), display);
  aErr err = update.TransferFirmware(module, image);
  if (err != aErrNone) {
    outcome.error = err;
    display.message(kError, "Failed to transfer firmware");
    return false;
  }
  // A transfer the loader took proves nothing until the firmware itself answers.
  if (!update.VerifyReturn(module, serial, build))
    return false;
  ReadReturned(module, outcome);
  return true;
}

// The module as it came back: its model, build and version.
void ImxRecovery::ReadReturned(Module& module, ModuleOutcome& outcome) {
  SystemClass system;
  system.init(&module, 0);
  uint8_t model = 0;
  if (system.getModel(&model) == aErrNone)
    outcome.model = aDefs_GetModelName(model);
  DeviceInfo info;
  outcome.buildAfter = ModuleDiscovery::_get_build_number(module);
  if (ModuleDiscovery::_get_version(module, info) == aErrNone)
    outcome.versionAfter = info.VersionText();
}
