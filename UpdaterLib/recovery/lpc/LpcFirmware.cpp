#include "recovery/lpc/LpcFirmware.h"

#include <algorithm>
#include <cstring>

#include "Log.h"
#include "UpdaterDisplayInterface.h"
#include "recovery/lpc/NXPSerialClass.h"

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
  if (end > kMaxBlocks) {
    display.message(kError, "The image holds %zu firmware blocks; at most %zu are accepted", end, kMaxBlocks);
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

// NOR flash cannot take two images at one place: the second would be ANDed
// into the first. Sorted by address, only neighbours can overlap.
bool LpcFirmware::CheckOverlaps(UpdaterDisplayInterface& display) const {
  // Empty blocks hold nothing to overlap with.
  std::vector<size_t> order;
  for (size_t i = 0; i < blocks.size(); i++)
    if (blocks[i].ImageLength() != 0)
      order.push_back(i);
  std::sort(order.begin(), order.end(), [this](size_t a, size_t b) {
    return blocks[a].address != blocks[b].address ? blocks[a].address < blocks[b].address : a < b;
  });
  for (size_t k = 1; k < order.size(); k++) {
    const BirdBlock& before = blocks[order[k - 1]];
    const BirdBlock& after = blocks[order[k]];
    if (uint64_t(before.address) + before.ImageLength() > after.address) {
      size_t i = std::min(order[k - 1], order[k]), j = std::max(order[k - 1], order[k]);
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
