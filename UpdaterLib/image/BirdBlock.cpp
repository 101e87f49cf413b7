#include "image/BirdBlock.h"

#include "aBytes.h"

static const uint32_t kAddressSize = 4;

static bool sHasAddress(uint8_t type) { return type == BirdBlock::LOADER || type == BirdBlock::FIRMWARE; }

BirdBlock::BirdBlock(uint8_t typeAndFlags, uint32_t length_, uint8_t* data_)
    : type(typeAndFlags & TYPE_MASK), flags(static_cast<uint8_t>((typeAndFlags & FLAG_MASK) >> 5)), length(length_),
      data(data_) {
  // A block too short for its address keeps address 0 and has no image. The
  // address is big-endian, as all block framing is.
  if (sHasAddress(type) && length >= kAddressSize)
    address = aBytes_GetBE32(data);
}

uint8_t* BirdBlock::ImageData() const { return ImageLength() ? data + kAddressSize : nullptr; }

uint32_t BirdBlock::ImageLength() const {
  return (sHasAddress(type) && length > kAddressSize) ? length - kAddressSize : 0;
}
