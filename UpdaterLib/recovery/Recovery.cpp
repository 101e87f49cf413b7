// Recovery and fingerprint flows: -N and -U -t RECOVER. The chip's family is
// found by trying the NXP LPC boot-ROM handshake first; a chip that does not
// answer it is taken for an i.MX RT1050, whose boot ROM receives a recovery
// loader that then speaks the module link.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "image/BirdFile.h"
#include "store/BuildPath.h"
#include "recovery/HID_SDPLoader.h"
#include "Log.h"
#include "Module.h"
#include "recovery/NXPSerialClass.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader.h"
#include "SystemClass.h"
#include "server/UpdateServerRequest.h"
#include "Updater.h"
#include "store/UpdaterStore.h"

using Tessoral::Kovalink::Module;
using Tessoral::Kovalink::SystemClass;

namespace {

const uint8_t kChipIMX = 1;
const uint8_t kChipLPC = 2;
const unsigned kFingerprintBaud = 115200;
const unsigned kLastSector = 29;
// Copy windows staged at once: 16 KB from the staging address stays clear of
// the RAM the boot ROM itself uses at the top.
const size_t kStageWindows = 4;

const UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::Info;
const UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::Error;

bool _get_fingerprint_lpc(std::string port, unsigned baud, Fingerprint& fp) {
  NXPSerialClass isp;
  aErr err = isp.Connect(port.c_str(), baud);
  if (err != aErrNone) {
    Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", err);
    return false;
  }
  Log::log(DEBUG_APP, "\n\tSync to Device:\n");
  err = isp.Sync();
  if (err != aErrNone) {
    Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", err);
    return false;
  }
  Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
  err = isp.GetDeviceID();
  if (err != aErrNone) {
    Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
    return false;
  }
  for (int i = 0; i < 4; i++)
    fp.word[i] = isp.DeviceID()[i];
  // The chip stays synchronised in ISP command mode after the port closes.
  return true;
}

// The serial number the i.MX recovery loader answers under, and the update
// server's key for the default recovery image.
const uint32_t kDefaultSerial = 0xDEADDEAD;
const int kConnectRounds = 15;
const char* const kHIDPort = "USB";

// Restores the display's muting however the scope is left.
class MutedMessages {
public:
  explicit MutedMessages(UpdaterDisplayInterface& d) : display(d), was(d.muted) { display.mute_messages(true); }
  ~MutedMessages() { display.mute_messages(was); }

private:
  UpdaterDisplayInterface& display;
  bool was;
};

bool sStoredImageReadable(const UpdaterStoreItem& item, const std::string& name) {
  return item.IsValid() && !name.empty() &&
         BirdFile::VerifyFile(BuildPath(item.Path().c_str(), name.c_str(), nullptr).c_str());
}

aErr _transfer_recovery_loader(UpdaterDisplayInterface& display, BirdFile& image, std::string port) {
  Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
  std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_LOADER);
  // Without a loader the jump would start whatever the RAM holds.
  if (blocks.empty()) {
    display.message(kError, "The recovery image holds no loader");
    return aErrNotFound;
  }
  SDPLoader loader;
  if (port == kHIDPort)
    loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
  else
    loader.setLoader(new Serial_SDPLoader(port));
  if (loader.init() != aErrNone)
    return aErrNotReady;
  int number = 0;
  for (const BirdBlock& block : blocks) {
    std::vector<uint8_t> payload(block.ImageData(), block.ImageData() + block.ImageLength());
    Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %u\n", number, payload.size(), block.address);
    if (loader.writeLoader(payload, block.address) != 0)
      return aErrConnection;
    number++;
  }
  uint32_t start = IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS;
  std::vector<BirdBlock> starts = image.FindBlocks(BirdFile::BLOCK_START_ADDRESS);
  if (!starts.empty() && starts[0].length >= 4)
    start = BirdFile::GetInt(starts[0].data);
  loader.startLoader(start);
  return aErrNone;
}

// The recovery image: the named file, else the store's latest download for
// the serial number, downloaded first when the store names none it can read.
bool sLoadRecoveryImage(UpdaterDisplayInterface& display, Updater& updater, unsigned serial,
                        const std::string& birdFile, BirdFile& image) {
  if (!birdFile.empty()) {
    if (serial == kDefaultSerial) {
      display.message(kError, "Add serial number or remove the bird filename to use a default recovery image.");
      return false;
    }
    image = BirdFile(birdFile.c_str());
    return true;
  }
  UpdaterStore store(updater.UpdaterDirectory());
  UpdaterStoreItem item;
  store.FindDevice(serial, &item);
  std::string name = item.IsValid() ? item.settings.GetString(UpdaterStoreItem::KEY_LATEST_DOWNLOAD, "") : "";
  // An entry left by a failed download names no file: it must not stop every later download.
  if (!sStoredImageReadable(item, name)) {
    uint32_t build = 0;
    {
      MutedMessages quiet(display);
      Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
      build = updater.Download_Firmware(serial, "", false, false);
    }
    if (build == 0) {
      display.message(kError, "Could not download the recovery image for %08X", serial);
      return false;
    }
    name = std::to_string(build) + ".bird";
    store.FindDevice(serial, &item);
  }
  image = item.ReadBirdFile(name.c_str());
  return true;
}

bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, std::string port, unsigned serial,
                          std::string birdFile, Fingerprint& fp, bool reset) {
  if (serial == 0)
    serial = kDefaultSerial;
  BirdFile image;
  try {
    if (!sLoadRecoveryImage(display, updater, serial, birdFile, image))
      return false;
  } catch (const std::runtime_error& e) {
    Log::log(DEBUG_APP, "%s\n", e.what());
    return false;
  }
  if (_transfer_recovery_loader(display, image, port) != aErrNone) {
    Log::log(DEBUG_APP, "Error loading liveloader.\n");
    return false;
  }
  Module module(0, 0);
  if (!Updater::_connect_rounds(module, {{linkTypeUSB, serial}}, kConnectRounds)) {
    Log::log(DEBUG_APP, "Could not connect to device.\n");
    return false;
  }
  Updater::_await_running_link(module);
  SystemClass system;
  system.init(&module, 0);
  for (uint8_t subindex = 0; subindex < 4; subindex++) {
    uint32_t value = 0;
    if (system.getUEI32(Tessoral::Kovalink::systemChipIdentifier, subindex, &value) != aErrNone) {
      Log::log(DEBUG_APP, "Error getting Identifier %d.\n", subindex);
      return false;
    }
    fp.word[3 - subindex] = value;
  }
  // The fingerprint command ends the loader; a recovery programs through it.
  if (reset)
    system.reset();
  return true;
}

bool _recover_firmware_imx(UpdaterDisplayInterface& display, Updater& updater, BirdFile& image, unsigned serial) {
  Module module(0, 0);
  // The loader left running answers as the unknown module, or already as the module itself.
  std::vector<std::pair<linkType, uint32_t>> targets = {{linkTypeUSB, kDefaultSerial}};
  if (serial != 0 && serial != kDefaultSerial)
    targets.push_back({linkTypeUSB, serial});
  if (!Updater::_connect_rounds(module, targets, kConnectRounds)) {
    display.message(kError, "Could not connect to device");
    return false;
  }
  Updater::_await_running_link(module);
  if (updater._transfer_firmware(display, module, image) != aErrNone) {
    display.message(kError, "Failed to transfer firmware");
    return false;
  }
  return true;
}

// One line the user sees when the recovery stops, with the chip's own word.
void sFail(UpdaterDisplayInterface& display, const char* step, aErr err, const NXPSerialClass& isp) {
  if (isp.LastReturnCode() > 0)
    display.message(kError, "Recovery failed: %s [%d, %s] (the chip answered %d, %s)", step, err,
                    aError_GetErrorText(err), isp.LastReturnCode(), NXPSerialClass::CodeText(isp.LastReturnCode()));
  else
    display.message(kError, "Recovery failed: %s [%d, %s]", step, err, aError_GetErrorText(err));
}

// Every firmware block must lie in the chip's flash; checked before anything is erased.
bool sCheckImage(UpdaterDisplayInterface& display, const std::vector<BirdBlock>& blocks) {
  unsigned counted = 0;
  for (const BirdBlock& block : blocks) {
    if (block.length == 8)
      break;
    counted++;
    if (block.length < 4) {
      display.message(kError, "Firmware block %u is too short to hold its address", counted);
      return false;
    }
    uint64_t end = uint64_t(block.address) + block.ImageLength();
    if (end > NXPSerialClass::FLASH_SIZE) {
      display.message(kError, "Firmware block %u (0x%08X, %u bytes) does not fit the chip's 512 KB flash", counted,
                      block.address, block.ImageLength());
      return false;
    }
  }
  if (counted == 0) {
    display.message(kError, "Bird file holds no firmware");
    return false;
  }
  // NOR flash cannot take two images at one place: the second would be ANDed into the first.
  for (unsigned i = 0; i < counted; i++)
    for (unsigned j = i + 1; j < counted; j++) {
      uint64_t a0 = blocks[i].address, a1 = a0 + blocks[i].ImageLength();
      uint64_t b0 = blocks[j].address, b1 = b0 + blocks[j].ImageLength();
      if (a0 < b1 && b0 < a1) {
        display.message(kError, "Firmware blocks %u and %u overlap (0x%08X and 0x%08X)", i + 1, j + 1,
                        blocks[i].address, blocks[j].address);
        return false;
      }
    }
  return true;
}

bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& image, std::string& port, unsigned baud,
                           Fingerprint&) {
  std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  if (!sCheckImage(display, blocks))
    return false;

  NXPSerialClass isp;
  // The chip was synchronised at the fingerprint rate; it learns another
  // rate only through "B", after which the port is reopened at that rate.
  aErr err = isp.Connect(port.c_str(), kFingerprintBaud);
  if (err != aErrNone) {
    Log::log(DEBUG_Network, "Could not connect to %s\n", port.c_str());
    sFail(display, ("could not open " + port).c_str(), err, isp);
    return false;
  }
  unsigned rate = NXPSerialClass::RateFor(baud);
  if (rate != isp.Baud()) {
    Log::log(DEBUG_Updater, "\n\tSwitch the chip to %u baud:\n", rate);
    err = isp.ChangeBaudRate(rate);
    if (err != aErrNone) {
      sFail(display, ("the chip did not switch to " + std::to_string(rate) + " baud").c_str(), err, isp);
      return false;
    }
  }

  Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
  if ((err = isp.Unlock()) != aErrNone) {
    Log::log(DEBUG_Network, "Could not unlock\n");
    sFail(display, "could not unlock the flash commands", err, isp);
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
  if ((err = isp.Prepare(0, kLastSector)) != aErrNone) {
    Log::log(DEBUG_Network, "Could not prepare\n");
    sFail(display, "could not prepare the flash", err, isp);
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
  if ((err = isp.Erase(0, kLastSector)) != aErrNone) {
    Log::log(DEBUG_Network, "Could not erase\n");
    sFail(display, "could not erase the flash", err, isp);
    return false;
  }
  if ((err = isp.SetEcho(false)) != aErrNone)
    Log::log(DEBUG_Updater, "Could not switch echo off [%d]; going on with echo\n", err);
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", image.filename.c_str());

  // What the flash holds: erased, then every window as it was copied. A
  // window is staged with these bytes, so the bytes around a piece are the
  // flash's own (0xFF where nothing was written yet) and never stale RAM.
  std::vector<uint8_t> shadow(NXPSerialClass::FLASH_SIZE, 0xFF);
  unsigned total = 0;
  for (const BirdBlock& block : blocks)
    if (block.length != 8)
      total++;
    else
      break;
  unsigned number = 0;
  uint64_t bytes = 0;
  for (const BirdBlock& block : blocks) {
    if (block.length == 8)
      break;
    number++;
    const uint8_t* payload = block.ImageData();
    uint32_t length = block.ImageLength();
    display.message(kInfo, "Transferring firmware block %u of %u, %u bytes", number, total, length);
    display.display_progress(true);
    Log::log(DEBUG_Updater, "Transferring firmware block: %u bytes to address 0x%08X\n", length, block.address);
    uint32_t done = 0;
    while (done < length) {
      // Up to four copy windows, contiguous in flash, are staged in RAM by one
      // write and compared by one read-back: fewer round trips on the line.
      struct Window {
        uint32_t base, copy;
      };
      std::vector<Window> windows;
      uint32_t groupBase = 0, groupLength = 0, groupDone = done;
      while (groupDone < length && windows.size() < kStageWindows) {
        uint32_t address = block.address + groupDone;
        uint32_t base = 0, copy = 0, take = 0;
        if (!NXPSerialClass::PlanPiece(address, length - groupDone, &base, &copy, &take) ||
            (!windows.empty() && base != groupBase + groupLength))
          break;
        std::memcpy(&shadow[address], payload + groupDone, take);
        if (windows.empty())
          groupBase = base;
        windows.push_back(Window{base, copy});
        groupLength += copy;
        groupDone += take;
        Log::log(DEBUG_Updater, "Transferring firmware %u bytes to address 0x%08X\n", take, address);
      }
      if (windows.empty()) {
        display.message(kError, "Recovery failed: no copy window for address 0x%08X", block.address + done);
        display.display_progress(false);
        return false;
      }
      Log::log(DEBUG_Updater, "\t Write %u bytes to address 0x%08X\n", groupLength, NXPSerialClass::WRITE_ADDRESS);
      if ((err = isp.Write(NXPSerialClass::WRITE_ADDRESS, groupLength, &shadow[groupBase])) != aErrNone) {
        Log::log(DEBUG_Updater, "\t Write to RAM failed\n");
        display.display_progress(false);
        sFail(display, "writing to the chip's RAM failed", err, isp);
        return false;
      }
      for (const Window& w : windows) {
        unsigned first = NXPSerialClass::SectorFromAddress(w.base);
        unsigned last = NXPSerialClass::SectorFromAddress(w.base + w.copy - 1);
        uint32_t ram = NXPSerialClass::WRITE_ADDRESS + (w.base - groupBase);
        Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %u to %u\n", first, last);
        if ((err = isp.Prepare(first, last)) != aErrNone) {
          Log::log(DEBUG_Updater, "\t Prepare failed\n");
          display.display_progress(false);
          sFail(display, "could not prepare the sectors", err, isp);
          return false;
        }
        Log::log(DEBUG_Updater, "\t Copy %u bytes from %08X to %08X\n", w.copy, ram, w.base);
        if ((err = isp.CopyToFlash(w.base, ram, w.copy)) != aErrNone) {
          Log::log(DEBUG_Updater, "\t Transfer to flash failed\n");
          display.display_progress(false);
          sFail(display, "copying to flash failed", err, isp);
          return false;
        }
      }
      // Read-back: the chip compares the flash with what was staged (flash
      // 0..63 is the boot ROM's in ISP mode and cannot be compared).
      uint32_t skip = groupBase < NXPSerialClass::REMAPPED_BYTES ? NXPSerialClass::REMAPPED_BYTES - groupBase : 0;
      if (skip < groupLength) {
        uint32_t mismatch = 0;
        err = isp.Compare(groupBase + skip, NXPSerialClass::WRITE_ADDRESS + skip, groupLength - skip, &mismatch);
        if (err != aErrNone) {
          display.display_progress(false);
          if (isp.LastReturnCode() == 10)
            display.message(kError,
                            "Recovery failed: the flash at 0x%08X does not hold what was written (first difference "
                            "at 0x%08X)",
                            groupBase, groupBase + skip + mismatch);
          else
            sFail(display, "the read-back compare failed", err, isp);
          return false;
        }
      }
      done = groupDone;
      display.update_progress(static_cast<double>(done) / length, nullptr);
    }
    display.display_progress(false);
    bytes += length;
  }
  display.message(kInfo, "Transferred %u blocks, %llu total bytes", total, static_cast<unsigned long long>(bytes));
  if ((err = isp.SetEcho(true)) != aErrNone) {
    display.message(kError, "Recovery Error transfering data to device ==> [%d, %s]", err, aError_GetErrorText(err));
    return false;
  }
  display.message(kInfo, "Rebooting Device");
  if ((err = isp.ExecuteFrom(0)) != aErrNone) {
    sFail(display, "the flash is programmed, but the chip did not start it", err, isp);
    return false;
  }
  return true;
}

}  // namespace

bool Updater::Get_Fingerprint(Fingerprint& fp, std::string port, unsigned serial, std::string birdFile,
                              unsigned baud, bool reset) {
  // "USB" names no serial device, so the LPC attempt fails at once there.
  if (_get_fingerprint_lpc(port, baud, fp)) {
    chipKind = kChipLPC;
    return true;
  }
  chipKind = kChipIMX;
  return _get_fingerprint_imx(display, *this, port, serial, birdFile, fp, reset);
}

bool Updater::Recover_Firmware(std::string port, unsigned build, unsigned baud, unsigned serial, std::string birdFile,
                               bool override) {
  (void)override;
  auto start = std::chrono::steady_clock::now();
  auto finish = [&](bool ok) {
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    display.message(kInfo, "Update time: %.4f sec", ms / 1000.0);
    return ok;
  };
  Fingerprint fp;
  // The fingerprint step always synchronises at 115200.
  if (!Get_Fingerprint(fp, port, serial, birdFile, kFingerprintBaud, false)) {
    display.message(kError, "Could not get Device Identifier");
    return finish(false);
  }
  if (birdFile.empty()) {
    uint32_t serverSerial = serial, serverBuild = 0;
    const char* url = serverUrl.empty() ? nullptr : serverUrl.c_str();
    if (UpdateServerRequest::GetRecoveryInfo(fp, serverSerial, serverBuild, url)) {
      serial = serverSerial;
      if (build == 0)
        build = serverBuild;
    } else if (serial == 0) {
      // Without the server's answer nothing names the module or its build.
      display.message(kError, "Failed to retreive recovery information from Tessoral update server");
      return finish(false);
    }
  }
  BirdFile image;
  try {
    image = load_bird("Recovering", birdFile, serial, build, true);
  } catch (const std::exception& e) {
    Log::log(DEBUG_APP, "%s\n", e.what());
    display.message(kError, "Failed to load bird file");
    return finish(false);
  }
  if (image.hasSerialNumberOffsets) {
    display.message(kError, "Updater does not support offline recovery");
    return finish(false);
  }
  bool ok = false;
  if (chipKind == kChipLPC) {
    image.DecodeFirmwareBlocks(fp.word);
    ok = _recover_firmware_lpc(display, image, port, baud, fp);
  } else if (chipKind == kChipIMX) {
    ok = _recover_firmware_imx(display, *this, image, serial);
  } else {
    display.message(kError, "Unknown device");
  }
  return finish(ok);
}

uint32_t Updater::Download_Firmware(Fingerprint fp, std::string build, bool override) {
  uint32_t number = 0;
  if (!build.empty()) {
    char* end = nullptr;
    unsigned long value = std::strtoul(build.c_str(), &end, 10);
    if (*end || value > 0xFFFFFFFFul)
      Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", build.c_str());
    else
      number = static_cast<uint32_t>(value);
  }
  uint32_t serial = 0, serverBuild = 0;
  const char* url = serverUrl.empty() ? nullptr : serverUrl.c_str();
  if (!UpdateServerRequest::GetRecoveryInfo(fp, serial, serverBuild, url) || serial == 0) {
    display.message(kError, "Failed to retreive recovery information from Tessoral update server");
    return 0;
  }
  if (number == 0)
    number = serverBuild;
  return Download_Firmware(serial, std::to_string(number), override, false);
}
