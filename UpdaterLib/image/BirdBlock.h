// One typed block of a loaded BIRD file.
#pragma once
#include <cstdint>

struct BirdBlock {
  // Block types and the split of the type-and-flags byte.
  enum Type : uint8_t { LOADER = 0, FIRMWARE = 1, SERIAL_OFFSETS = 2, INFO = 4, START_ADDRESS = 5 };
  static constexpr uint8_t TYPE_MASK = 0x1F;
  static constexpr uint8_t FLAG_MASK = 0xE0;

  BirdBlock() = default;
  // Splits the type-and-flags byte; loader and firmware blocks also read their
  // big-endian address from the first four content bytes.
  BirdBlock(uint8_t typeAndFlags, uint32_t length, uint8_t* data);

  // Loader and firmware blocks: the bytes after the 4-byte address (none when
  // the block is too short to hold an address).
  uint8_t* ImageData() const;
  uint32_t ImageLength() const;

  uint8_t type = 0;
  uint8_t flags = 0;  // bits 5..7 of the type byte, 0..7
  uint32_t length = 0;
  uint32_t address = 0;
  uint8_t* data = nullptr;  // first content byte, inside the owning BirdFile's buffer
};
