// Header-only writer (and minimal reader) of BIRD firmware files, shared by
// the birdpack tool, the virtual lab and the tests. It depends on zlib and the
// standard library only, so it stays independent of the updater's own loader.
#pragma once
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace birdwriter {

enum BlockType : uint8_t {
  kLoader = 0,
  kFirmware = 1,
  kSerialOffsets = 2,
  kInfo = 4,
  kStartAddress = 5,
};

constexpr uint8_t kTypeMask = 0x1F;
constexpr size_t kInfoSize = 64;
constexpr size_t kHeaderSize = 6;

struct Block {
  uint8_t type = 0;
  uint8_t flags = 0;             // 0..7, stored in bits 5..7 of the type byte
  std::vector<uint8_t> content;  // everything after the 5-byte framing
};

inline void PutBE32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<uint8_t>(value >> shift));
}

inline uint32_t GetBE32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// A loader or firmware block: 4-byte big-endian address, then the bytes.
inline Block AddressedBlock(uint8_t type, uint32_t address, const std::vector<uint8_t>& bytes, uint8_t flags = 0) {
  Block block;
  block.type = type;
  block.flags = flags;
  PutBE32(block.content, address);
  block.content.insert(block.content.end(), bytes.begin(), bytes.end());
  return block;
}

inline Block SerialOffsetsBlock(uint32_t serialAddress, uint32_t descriptorAddress) {
  Block block;
  block.type = kSerialOffsets;
  PutBE32(block.content, serialAddress);
  PutBE32(block.content, descriptorAddress);
  return block;
}

inline Block StartAddressBlock(uint32_t address) {
  Block block;
  block.type = kStartAddress;
  PutBE32(block.content, address);
  return block;
}

// Copies `text` into `field` (space padded); fails when it does not fit.
inline void PutField(uint8_t* field, size_t width, const std::string& text, const char* what) {
  if (text.size() > width)
    throw std::invalid_argument(std::string(what) + " \"" + text + "\" is longer than " + std::to_string(width) +
                                " characters");
  for (size_t i = 0; i < width; i++)
    field[i] = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
}

inline void SetInfoSerial(uint8_t* info, uint32_t serial) {
  char digits[9];
  std::snprintf(digits, sizeof(digits), "%08X", serial);
  for (int i = 0; i < 8; i++)
    info[32 + i] = static_cast<uint8_t>(digits[i]);
}

// The 64-byte information block: build (15 usable characters), version
// (15 usable characters), serial number as 8 hex digits, model name.
inline Block InfoBlock(uint32_t build, const std::string& version, uint32_t serial, const std::string& model) {
  Block block;
  block.type = kInfo;
  block.content.assign(kInfoSize, ' ');
  PutField(&block.content[0], 15, std::to_string(build), "build");
  PutField(&block.content[16], 15, version, "version");
  SetInfoSerial(block.content.data(), serial);
  PutField(&block.content[48], 16, model, "model");
  return block;
}

// The content: block count, the blocks, then a CRC-32 of everything before it.
inline std::vector<uint8_t> EncodeContent(const std::vector<Block>& blocks) {
  std::vector<uint8_t> content;
  PutBE32(content, static_cast<uint32_t>(blocks.size()));
  for (const Block& block : blocks) {
    content.push_back(static_cast<uint8_t>((block.type & kTypeMask) | ((block.flags & 7u) << 5)));
    PutBE32(content, static_cast<uint32_t>(block.content.size()));
    content.insert(content.end(), block.content.begin(), block.content.end());
  }
  uLong crc = crc32(0L, Z_NULL, 0);
  crc = crc32(crc, content.data(), static_cast<uInt>(content.size()));
  PutBE32(content, static_cast<uint32_t>(crc));
  return content;
}

// Header ("bird", version 0x0101) followed by the zlib stream of `content`.
inline std::vector<uint8_t> EncodeFile(const std::vector<uint8_t>& content, int level = Z_BEST_COMPRESSION) {
  uLongf bound = compressBound(static_cast<uLong>(content.size()));
  std::vector<uint8_t> file(kHeaderSize + bound);
  const uint8_t header[kHeaderSize] = {'b', 'i', 'r', 'd', 0x01, 0x01};
  std::copy(header, header + kHeaderSize, file.begin());
  int rc = compress2(file.data() + kHeaderSize, &bound, content.data(), static_cast<uLong>(content.size()), level);
  if (rc != Z_OK)
    throw std::runtime_error("zlib compression failed (" + std::to_string(rc) + ")");
  file.resize(kHeaderSize + bound);
  return file;
}

// The updater inflates into a buffer eight times the compressed size, so a
// very compressible image (long runs of padding) must be compressed less.
// Stored blocks (level 0) never shrink, so one level always fits.
inline std::vector<uint8_t> EncodeLoadableFile(const std::vector<uint8_t>& content) {
  std::vector<uint8_t> file;
  for (int level : {Z_BEST_COMPRESSION, 6, 1, 0}) {
    file = EncodeFile(content, level);
    if (content.size() <= 8 * (file.size() - kHeaderSize))
      break;
  }
  return file;
}

inline std::vector<uint8_t> EncodeFile(const std::vector<Block>& blocks) {
  return EncodeLoadableFile(EncodeContent(blocks));
}

// Inflates the body of a BIRD file; throws on a bad header or stream.
inline std::vector<uint8_t> DecodeContent(const std::vector<uint8_t>& file) {
  if (file.size() <= kHeaderSize || file[0] != 'b' || file[1] != 'i' || file[2] != 'r' || file[3] != 'd')
    throw std::runtime_error("not a BIRD file");
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK)
    throw std::runtime_error("zlib initialisation failed");
  std::vector<uint8_t> content;
  uint8_t chunk[16384];
  zs.next_in = const_cast<Bytef*>(file.data() + kHeaderSize);
  zs.avail_in = static_cast<uInt>(file.size() - kHeaderSize);
  int rc = Z_OK;
  while (rc == Z_OK) {
    zs.next_out = chunk;
    zs.avail_out = sizeof(chunk);
    rc = inflate(&zs, Z_NO_FLUSH);
    content.insert(content.end(), chunk, chunk + (sizeof(chunk) - zs.avail_out));
    if (rc == Z_BUF_ERROR && zs.avail_in == 0)
      break;
  }
  inflateEnd(&zs);
  if (rc != Z_STREAM_END)
    throw std::runtime_error("BIRD body is not a complete zlib stream");
  return content;
}

// Splits a content into blocks; throws when the framing does not add up.
inline std::vector<Block> DecodeBlocks(const std::vector<uint8_t>& content) {
  if (content.size() < 8)
    throw std::runtime_error("BIRD content too short");
  uint32_t count = GetBE32(content.data());
  std::vector<Block> blocks;
  size_t pos = 4;
  const size_t end = content.size() - 4;
  for (uint32_t i = 0; i < count; i++) {
    if (end - pos < 5)
      throw std::runtime_error("BIRD block header runs past the content");
    Block block;
    block.type = content[pos] & kTypeMask;
    block.flags = static_cast<uint8_t>(content[pos] >> 5);
    uint32_t length = GetBE32(&content[pos + 1]);
    pos += 5;
    if (length > end - pos)
      throw std::runtime_error("BIRD block runs past the content");
    block.content.assign(content.begin() + pos, content.begin() + pos + length);
    pos += length;
    blocks.push_back(std::move(block));
  }
  return blocks;
}

// Rewrites the serial number of every information block in a BIRD file and
// re-encodes it (the lab's server makes module-specific files this way).
inline std::vector<uint8_t> WithInfoSerial(const std::vector<uint8_t>& file, uint32_t serial) {
  std::vector<Block> blocks = DecodeBlocks(DecodeContent(file));
  for (Block& block : blocks)
    if (block.type == kInfo && block.content.size() >= 40)
      SetInfoSerial(block.content.data(), serial);
  return EncodeFile(blocks);
}

// Scrambles the image bytes of a firmware block's content (after its 4-byte
// address) for one chip, the inverse of the updater's DecodeFirmwareBlocks:
// the key is the chip's four-word identity (the LPC boot ROM's device serial
// number, word 0 first), each word's bytes most significant first; every byte
// is XORed with the key byte and with the plain byte before it.
inline void ScrambleFirmware(std::vector<uint8_t>& content, const uint32_t key[4]) {
  uint8_t bytes[16];
  for (int w = 0; w < 4; w++)
    for (int b = 0; b < 4; b++)
      bytes[4 * w + b] = static_cast<uint8_t>(key[w] >> (24 - 8 * b));
  uint8_t previous = 0;
  for (size_t i = 4; i < content.size(); i++) {
    uint8_t plain = content[i];
    content[i] = static_cast<uint8_t>(plain ^ bytes[(i - 4) % 16] ^ previous);
    previous = plain;
  }
}

// Deterministic pseudo-random bytes (xorshift32), so tests need no fixtures.
inline std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t state = seed ? seed : 0x9E3779B9u;
  for (size_t i = 0; i < size; i++) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    bytes[i] = static_cast<uint8_t>(state >> 24);
  }
  return bytes;
}

}  // namespace birdwriter
