// The LPC firmware of a recovery image: checked whole before anything reaches
// the chip, then cut into the copy windows the boot ROM programs.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "image/BirdBlock.h"

class UpdaterDisplayInterface;

class LpcFirmware {
public:
  // Copy windows staged in RAM at once: 16 KB from the staging address stays
  // clear of the RAM the boot ROM itself uses at the top.
  static const size_t kStageWindows = 4;
  // Far more than an image for 512 KB of flash needs (one per 256-byte copy
  // window would be 2048): more is a broken or hostile file.
  static const size_t kMaxBlocks = 4096;

  struct Window {
    uint32_t base, copy;  // flash address (256-aligned) and copy length
  };
  // Windows contiguous in flash, staged by one write and compared by one read-back.
  struct Stage {
    uint32_t base = 0, length = 0;
    uint32_t end = 0;  // offset in the block after the bytes this stage takes
    std::vector<Window> windows;
  };

  // Takes the image's firmware blocks; false (with one line shown) when they
  // cannot be programmed as they are.
  bool Check(UpdaterDisplayInterface& display, const std::vector<BirdBlock>& firmware);
  const std::vector<BirdBlock>& Blocks() const { return blocks; }
  uint64_t Bytes() const { return bytes; }

  // The next stage of `block` from offset `done`, its bytes copied into the
  // flash image `shadow`; false when no copy window holds the address.
  static bool PlanStage(const BirdBlock& block, uint32_t done, std::vector<uint8_t>& shadow, Stage& stage);

private:
  bool CheckBlock(UpdaterDisplayInterface& display, const BirdBlock& block, unsigned number);
  bool CheckOverlaps(UpdaterDisplayInterface& display) const;

  std::vector<BirdBlock> blocks;  // without the end marker
  uint64_t bytes = 0;
};
