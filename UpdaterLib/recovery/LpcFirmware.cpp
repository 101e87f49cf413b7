#include "recovery/LpcFirmware.h"

#include <cstring>

#include "Log.h"
#include "UpdaterDisplayInterface.h"
#include "recovery/NXPSerialClass.h"

namespace {

const UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::Error;
// A firmware block of this total length (address and one word) ends the image.
const uint32_t kEndMarkerLength = 8;

}  // namespace

bool LpcFirmware::Check(UpdaterDisplayInterface& display, const std::vector<BirdBlock>& firmware) {
  blocks.clear();
  bytes = 0;
  size_t end = firmware.size();
  for (size_t i = 0; i < firmware.size(); i++)
    if (firmware[i].length == kEndMarkerLength) {
      end = i;
      break;
    }
  // What follows the marker would never be written, and the flash left erased there.
  if (end + 1 < firmware.size()) {
    display.message(kError, "Firmware block %zu follows the end marker (block %zu, 8 bytes at 0x%08X)", end + 2,
                    end + 1, firmware[end].address);
    return false;
  }
  for (size_t i = 0; i < end; i++) {
    if (!CheckBlock(display, firmware[i], unsigned(i + 1)))
      return false;
    blocks.push_back(firmware[i]);
    bytes += firmware[i].ImageLength();
  }
  // Blocks that hold no bytes would have the chip erased for nothing.
  if (bytes == 0) {
    display.message(kError, "Bird file holds no firmware");
    return false;
  }
  return CheckOverlaps(display);
}

bool LpcFirmware::CheckBlock(UpdaterDisplayInterface& display, const BirdBlock& block, unsigned number) {
  if (block.length < 4) {
    display.message(kError, "Firmware block %u is too short to hold its address", number);
    return false;
  }
  uint64_t end = uint64_t(block.address) + block.ImageLength();
  if (end > NXPSerialClass::FLASH_SIZE) {
    display.message(kError, "Firmware block %u (0x%08X, %u bytes) does not fit the chip's 512 KB flash", number,
                    block.address, block.ImageLength());
    return false;
  }
  return true;
}

// NOR flash cannot take two images at one place: the second would be ANDed into the first.
bool LpcFirmware::CheckOverlaps(UpdaterDisplayInterface& display) const {
  for (size_t i = 0; i < blocks.size(); i++)
    for (size_t j = i + 1; j < blocks.size(); j++) {
      uint64_t a0 = blocks[i].address, a1 = a0 + blocks[i].ImageLength();
      uint64_t b0 = blocks[j].address, b1 = b0 + blocks[j].ImageLength();
      if (a0 < b1 && b0 < a1) {
        display.message(kError, "Firmware blocks %zu and %zu overlap (0x%08X and 0x%08X)", i + 1, j + 1,
                        blocks[i].address, blocks[j].address);
        return false;
      }
    }
  return true;
}

bool LpcFirmware::PlanStage(const BirdBlock& block, uint32_t done, std::vector<uint8_t>& shadow, Stage& stage) {
  stage = Stage();
  stage.end = done;
  const uint32_t length = block.ImageLength();
  while (stage.end < length && stage.windows.size() < kStageWindows) {
    uint32_t address = block.address + stage.end;
    uint32_t base = 0, copy = 0, take = 0;
    if (!NXPSerialClass::PlanPiece(address, length - stage.end, &base, &copy, &take) ||
        (!stage.windows.empty() && base != stage.base + stage.length))
      break;
    std::memcpy(&shadow[address], block.ImageData() + stage.end, take);
    if (stage.windows.empty())
      stage.base = base;
    stage.windows.push_back(Window{base, copy});
    stage.length += copy;
    stage.end += take;
    Log::log(DEBUG_Updater, "Transferring firmware %u bytes to address 0x%08X\n", take, address);
  }
  return !stage.windows.empty();
}
