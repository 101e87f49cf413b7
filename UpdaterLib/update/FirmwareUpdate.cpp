// The -U command: choose a build, load and patch its BIRD file, connect, transfer, record.
#include <stdexcept>
#include <vector>

#include "image/BirdFile.h"
#include "image/BuildNumber.h"
#include "Log.h"
#include "Module.h"
#include "SystemClass.h"
#include "server/UpdateServerRequest.h"
#include "Updater.h"
#include "update/UpdaterEntity.h"
#include "discovery/RouterRoute.h"
#include "store/UpdaterStore.h"
#include "aDefs.h"
#include "aTime.h"

using Tessoral::Kovalink::Module;
using Tessoral::Kovalink::SystemClass;

namespace {

constexpr int RECONNECT_TRIES = 15;
constexpr unsigned RECONNECT_DELAY_MS = 1000;
constexpr unsigned LOADER_SETTLE_MS = 500;

std::string sBirdName(uint32_t build) { return std::to_string(build) + ".bird"; }

// The server's latest build; 0 for a line that is not a build number.
uint32_t sBuildFromText(const std::string& text) {
  uint32_t build = 0;
  if (!BuildNumber::FromServerLine(text, build)) {
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
    return 0;
  }
  return build;
}

bool sReadable(UpdaterStoreItem& item, uint32_t build) {
  if (!item.IsValid()) return false;
  try {
    BirdFile file = item.ReadBirdFile(sBirdName(build).c_str());
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

uint32_t sStoredBuild(UpdaterStoreItem& item, const char* key) {
  int value = item.settings.GetInt(key, 0);
  return value > 0 ? static_cast<uint32_t>(value) : 0;
}

// A link that meets noise resynchronises, and a request made meanwhile goes unanswered;
// so identity reads wait for a running link and are tried a few times.
constexpr int IDENTITY_READ_TRIES = 3;
constexpr unsigned LINK_SETTLE_MS = 1000;
constexpr int LINK_STATUS_RUNNING = 2;

template <typename T, typename Read>
bool sReadIdentity(Module& module, T& value, Read read) {
  for (int attempt = 0; attempt < IDENTITY_READ_TRIES; attempt++) {
    Updater::_await_running_link(module);
    if (read(&value) == aErrNone) return true;
  }
  value = 0;
  return false;
}

aErr sConnectDirect(Module& module, uint32_t serialNumber) {
  aErr err = static_cast<aErr>(module.connect(linkTypeUSB, serialNumber));
  if (err == aErrNotFound) err = static_cast<aErr>(module.connect(linkTypeTCPIP, serialNumber));
  return err;
}

uint32_t sSelectBuild(UpdaterDisplayInterface& display, const std::string& serverUrl, UpdaterStoreItem& item,
                      uint32_t serialNumber, uint32_t build) {
  if (build == 0) {
    std::string text, firmware;
    UpdateServerRequest::QueryBuild(serialNumber, text, firmware, serverUrl.c_str());
    build = sBuildFromText(text);
    if (build != 0 && !sReadable(item, build)) {
      build = 0;
      display.message(UpdaterDisplayInterface::Info,
                      "New firmware is available.  Updater will proceed if valid firmware is found locally.");
    }
  }
  if (build == 0) {
    build = sStoredBuild(item, UpdaterStoreItem::KEY_LATEST_DOWNLOAD);
    if (build != 0) display.message(UpdaterDisplayInterface::Info, "Updating with the Latest Download");
  }
  if (build == 0) {
    build = sStoredBuild(item, UpdaterStoreItem::KEY_LATEST_TRANSFER);
    if (build != 0) display.message(UpdaterDisplayInterface::Info, "Updating with the Latest Transfer");
  }
  return build;
}

// After the loader starts the module may re-enumerate; it is looked for on every transport,
// since a module reached over TCP/IP never shows up on USB.
void sAwaitModule(Module& target, uint32_t serialNumber) {
  // A loader that takes the link over drops it just after confirming LOAD; the host needs a
  // moment to notice, or the firmware would be sent into a link that is already gone.
  for (unsigned waited = 0; waited < LOADER_SETTLE_MS && target.isConnected(); waited += 50) aTime_MSSleep(50);
  if (target.isConnected()) return;
  target.disconnect();
  Updater::_connect_rounds(target, {{linkTypeUSB, serialNumber}, {linkTypeTCPIP, serialNumber}}, RECONNECT_TRIES);
}

void sRecordTransfer(UpdaterDisplayInterface& display, const std::string& updaterDirectory, UpdaterStoreItem& item,
                     uint32_t serialNumber, const std::string& birdFile) {
  try {
    // A module updated from a file may have no entry yet; it gets one, as a download gives it,
    // rather than a stray ".settings" in the current directory.
    if (!item.IsValid()) {
      UpdaterStore store(updaterDirectory.c_str());
      item = store.AddDevice(serialNumber);
    }
    item.settings.Add(UpdaterStoreItem::KEY_LATEST_TRANSFER, birdFile);
    item.settings.Add(UpdaterStoreItem::KEY_LAST_TRANSFER_DATE, KeyValueStore::Timestamp());
    item.settings.Save(nullptr);
  } catch (const std::exception& e) {
    display.message(UpdaterDisplayInterface::Error, "Could not record the transfer: %s", e.what());
  }
}

}  // namespace

bool Updater::_connect_rounds(Module& module, const std::vector<std::pair<linkType, uint32_t>>& targets,
                              int rounds) {
  for (int round = 0; round < rounds; round++) {
    if (round > 0) aTime_MSSleep(RECONNECT_DELAY_MS);
    for (const auto& target : targets)
      if (module.discoverAndConnect(target.first, target.second) == aErrNone && module.isConnected()) return true;
  }
  return false;
}

void Updater::_await_running_link(Module& module) {
  for (unsigned waited = 0; waited < LINK_SETTLE_MS && module.isConnected(); waited += 10) {
    if (module.getStatus() == LINK_STATUS_RUNNING) return;
    aTime_MSSleep(10);
  }
}

bool Updater::Update_Firmware(uint32_t serialNumber, uint32_t build, std::string birdFile, uint8_t moduleAddress,
                              uint32_t routerSerialNumber, bool override) {
  if (serialNumber == 0) {
    display.message(UpdaterDisplayInterface::Error, "Update command must specify the specific device");
    return false;
  }
  UpdaterStoreItem item;
  try {
    UpdaterStore store(updaterDirectory.c_str());
    store.FindDevice(serialNumber, &item);
  } catch (const std::exception& e) {
    display.message(UpdaterDisplayInterface::Error, "%s", e.what());
    return false;
  }
  uint64_t start = aTime_GetMSTicks();

  if (birdFile.empty()) {
    build = sSelectBuild(display, serverUrl, item, serialNumber, build);
    if (build == 0) {
      display.message(UpdaterDisplayInterface::Error, "Could not find valid build for this device.");
      return false;
    }
  }

  BirdFile file;
  try {
    file = load_bird("Updating", birdFile, serialNumber, build, false);
  } catch (const std::exception& e) {
    display.message(UpdaterDisplayInterface::Error, "%s", e.what());
    return false;
  }
  // Without firmware bytes the update would reboot the module having written nothing.
  if (file.FirmwareBytes() == 0) {
    display.message(UpdaterDisplayInterface::Error, "Bird file holds no firmware");
    return false;
  }

  if (file.hasSerialNumberOffsets) {
    Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
    if (!file.ReplaceSerialNumber(serialNumber)) {
      Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
      display.message(UpdaterDisplayInterface::Error, "Unable to modify serial number in bird file");
      return false;
    }
    Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
  }

  // The route outlives the target: routing stays on until the update is over.
  RouterRoute route;
  Module target(moduleAddress, 0);
  aErr err = aErrNone;
  if (routerSerialNumber != 0) {
    if (moduleAddress == 0) {
      display.message(UpdaterDisplayInterface::Error, "Module address required for indirect firmware update");
      return false;
    }
    if (route.Open(routerSerialNumber) != aErrNone) {
      display.message(UpdaterDisplayInterface::Error, "Failed to connect to link module [%08X]", routerSerialNumber);
      return false;
    }
    err = route.Connect(target);
  } else {
    err = sConnectDirect(target, serialNumber);
  }

  bool success = false;
  if (err != aErrNone) {
    display.message(UpdaterDisplayInterface::Error, "Failed to connect to module [%08X]", serialNumber);
  } else {
    if (!override && !_validate_birdfile(display, file, target, serialNumber)) {
      display.message(UpdaterDisplayInterface::Error, "Birdfile failed validation");
      return false;
    }
    _await_running_link(target);
    err = _transfer_loader(display, target, file);
    if (err == aErrNone) sAwaitModule(target, serialNumber);
    if (err == aErrNone) err = _transfer_firmware(display, target, file);
    if (err == aErrNone) {
      if (birdFile.empty()) birdFile = sBirdName(build);
      sRecordTransfer(display, updaterDirectory, item, serialNumber, birdFile);
      success = true;
    } else {
      // The protocol's own lines go to the debug log only; the user needs one clear line.
      display.message(UpdaterDisplayInterface::Error, "Firmware update of module [%08X] failed [%d, %s]",
                      serialNumber, err, aError_GetErrorText(err));
    }
  }
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  display.message(UpdaterDisplayInterface::Info, "Update time: %.4f sec",
                  static_cast<double>(aTime_GetMSTicks() - start) / 1000.0);
  return success;
}

BirdFile Updater::load_bird(const char* action, std::string birdFile, uint32_t serialNumber, uint32_t build,
                            bool downloadIfMissing) {
  UpdaterStore store(updaterDirectory.c_str());
  if (!birdFile.empty()) {
    display.message(UpdaterDisplayInterface::Info, "%s from Birdfile: %s", action, birdFile.c_str());
    return BirdFile(birdFile.c_str());
  }
  UpdaterStoreItem item = store.AddDevice(serialNumber);
  display.message(UpdaterDisplayInterface::Info, "%s firmware with build: %u", action, build);
  const std::string name = sBirdName(build);
  try {
    return item.ReadBirdFile(name.c_str());
  } catch (const std::exception&) {
    if (!downloadIfMissing) throw;
  }
  display.message(UpdaterDisplayInterface::Info, "Downloading firmware build %u", build);
  Download_Firmware(serialNumber, std::to_string(build), false, false);
  return item.ReadBirdFile(name.c_str());
}

bool Updater::_validate_birdfile(UpdaterDisplayInterface& out, BirdFile& file, Module& module,
                                 uint32_t serialNumber) {
  if (file.blockCount == 0) return false;
  if (!file.hasSerialNumberOffsets && !file.ValidateSerialNumber(serialNumber)) return false;
  Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
  SystemClass system;
  system.init(&module, 0);
  uint32_t moduleSerial = 0;
  sReadIdentity(module, moduleSerial, [&](uint32_t* v) { return system.getSerialNumber(v); });
  if (moduleSerial != serialNumber) {
    Log::log(DEBUG_Updater, "Bird serial number and connected device don't match.\n");
    return false;
  }
  uint8_t model = 0;
  sReadIdentity(module, model, [&](uint8_t* v) { return system.getModel(v); });
  const char* modelName = aDefs_GetModelName(model);
  if (!file.ValidateModel(modelName)) {
    out.message(UpdaterDisplayInterface::Error, "Connected device model and Bird file model do not match [%s]",
                    modelName);
    return false;
  }
  return true;
}

namespace {

// Sends the blocks in order. The first block that fails ends the transfer: the
// module's update has failed, and later blocks would only be written into it.
template <typename Send>
aErr sTransferBlocks(UpdaterDisplayInterface& display, const char* kind, const std::vector<BirdBlock>& blocks,
                     Send send) {
  const unsigned count = static_cast<unsigned>(blocks.size());
  unsigned done = 0;
  uint32_t total = 0;
  aErr err = aErrNone;
  for (const BirdBlock& block : blocks) {
    display.message(UpdaterDisplayInterface::Info, "Transferring %s block %u of %u, %u bytes", kind, done + 1, count,
                    static_cast<unsigned>(block.length));
    err = send(block);
    if (err != aErrNone) break;
    total += block.length;
    done++;
  }
  display.message(UpdaterDisplayInterface::Info, "Transferred %u blocks, %u total bytes", done,
                  static_cast<unsigned>(total));
  if (err != aErrNone)
    display.message(UpdaterDisplayInterface::Error, "Transfer of %s block %u of %u failed [%d, %s]", kind, done + 1,
                    count, err, aError_GetErrorText(err));
  return err;
}

}  // namespace

aErr Updater::_transfer_loader(UpdaterDisplayInterface& out, Module& module, BirdFile& file) {
  UpdaterEntity entity;
  entity.init(&module, 0, true);
  aErr err = entity.LoaderInit();
  if (err != aErrNone) {
    Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", err, aError_GetErrorText(err));
    return err;
  }
  out.message(UpdaterDisplayInterface::Info, "Transferring loader to device");
  out.display_progress(true);
  err = sTransferBlocks(out, "loader", file.FindBlocks(BirdFile::BLOCK_LOADER), [&](const BirdBlock& block) {
    uint16_t blockSize = 0;
    aErr result = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
    // A loader block whose PREPARE goes unanswered is still sent: the data's sum decides.
    if (result != aErrNone && result != aErrTimeout) {
      Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", result, aError_GetErrorText(result));
      return result;
    }
    result = entity.LoaderTransfer(block.data, block.length);
    if (result != aErrNone)
      Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", result, aError_GetErrorText(result));
    return result;
  });
  out.display_progress(false);
  if (err != aErrNone) return err;

  out.message(UpdaterDisplayInterface::Info, "Starting Load on Device");
  err = entity.LoaderStart();
  if (err == aErrTimeout) {
    Log::log(DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
    return aErrNone;
  }
  if (err != aErrNone)
    out.message(UpdaterDisplayInterface::Error, "Error starting loader [%d, %s]", err, aError_GetErrorText(err));
  return err;
}

aErr Updater::_transfer_firmware(UpdaterDisplayInterface& out, Module& module, BirdFile& file) {
  UpdaterEntity entity;
  entity.init(&module, 0, true);
  Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", file.filename.c_str());
  // A failed block leaves a partly written image: the module must not be rebooted into it.
  aErr err =
      sTransferBlocks(out, "firmware", file.FindBlocks(BirdFile::BLOCK_FIRMWARE), [&](const BirdBlock& block) {
        uint16_t blockSize = 0;
        aErr result = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
        if (result != aErrNone) {
          Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", result, aError_GetErrorText(result));
          return result;
        }
        result = entity.FirmwareTransfer(block.data, block.length, blockSize, out);
        if (result != aErrNone)
          Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", result, aError_GetErrorText(result));
        return result;
      });
  if (err != aErrNone) return err;
  return entity.LoaderReboot(out);
}
