#include "BirdBlock.h"

#include "BirdFile.h"

static const uint32_t kAddressSize = 4;

static bool sHasAddress(uint8_t type) { return type == BirdFile::BLOCK_LOADER || type == BirdFile::BLOCK_FIRMWARE; }

BirdBlock::BirdBlock(uint8_t typeAndFlags, uint32_t length_, uint8_t* data_)
    : type(typeAndFlags & BirdFile::BIRD_FILE_TYPE_MASK),
      flags(static_cast<uint8_t>((typeAndFlags & BirdFile::BIRD_FILE_FLAG_MASK) >> 5)),
      length(length_),
      data(data_) {
  // A block too short for its address keeps address 0 and has no image.
  if (sHasAddress(type) && length >= kAddressSize)
    address = BirdFile::GetInt(data);
}

uint8_t* BirdBlock::ImageData() const { return ImageLength() ? data + kAddressSize : nullptr; }

uint32_t BirdBlock::ImageLength() const {
  return (sHasAddress(type) && length > kAddressSize) ? length - kAddressSize : 0;
}
