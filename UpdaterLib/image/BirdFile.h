// A BIRD firmware file loaded into memory: header, inflated content and its
// typed blocks. Rewrites happen in memory only; nothing is written back.
#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "image/BirdBlock.h"

class BirdFile {
public:
  enum BLOCK_TYPE : uint8_t {
    BLOCK_LOADER = BirdBlock::LOADER,
    BLOCK_FIRMWARE = BirdBlock::FIRMWARE,
    BLOCK_SERIAL_OFFSETS = BirdBlock::SERIAL_OFFSETS,
    BLOCK_INFO = BirdBlock::INFO,
    BLOCK_START_ADDRESS = BirdBlock::START_ADDRESS,
  };
  static constexpr uint32_t BIRD_FILE_SIGNATURE = 0x62697264;  // "bird"
  static constexpr uint16_t BIRD_FILE_VERSION = 0x0101;
  static constexpr uint8_t BIRD_FILE_TYPE_MASK = BirdBlock::TYPE_MASK;
  static constexpr uint8_t BIRD_FILE_FLAG_MASK = BirdBlock::FLAG_MASK;
  static constexpr uint32_t INFO_BLOCK_SIZE = 64;

  BirdFile();
  // Loads the file; throws std::runtime_error("Failed to load bird file
  // <path>: <why>"), the why being the system's reason or what is wrong inside.
  explicit BirdFile(const char* filename);
  BirdFile(BirdFile&& other) noexcept;
  BirdFile& operator=(BirdFile&& other) noexcept;
  BirdFile(const BirdFile&) = delete;
  BirdFile& operator=(const BirdFile&) = delete;

  bool Load();
  // Why the last Load or LoadBytes failed (empty after a success).
  const std::string& LoadProblem() const { return problem; }
  // Loads a BIRD file's bytes held in memory (a download before it is stored).
  bool LoadBytes(const uint8_t* bytes, size_t count);
  bool DecompressData(const uint8_t* compressed, uint64_t length);
  bool ScanBlocks(uint8_t* content, uint32_t size);
  std::vector<BirdBlock> FindBlocks(uint8_t type) const;
  // Image bytes of all blocks of one addressed type together (0: none).
  uint64_t ImageBytes(uint8_t type) const;
  // Firmware image bytes (0: nothing to install).
  uint64_t FirmwareBytes() const { return ImageBytes(BLOCK_FIRMWARE); }
  bool FindSerialNumberOffsets();

  uint32_t GetBuild() const;
  std::string GetVersion() const;
  uint32_t GetSerialNumber() const;
  bool ValidateSerialNumber(uint32_t serialNumber) const;
  bool ValidateModel(const char* modelName) const;

  bool ReplaceSerialNumber(uint32_t serialNumber);
  bool ReplaceVectorChecksum();
  bool DecodeFirmwareBlocks(const uint32_t* key);
  bool ValidateData(const uint8_t* pattern, uint32_t length) const;
  bool DumpBlocks(uint8_t type) const;

  // Header check ("bird" and a version with two non-zero bytes) without loading.
  static bool VerifyFile(const char* path);
  // The same; on failure `problem` says why (the system's reason, or what is
  // wrong with the header).
  static bool CheckHeader(const char* path, std::string& problem);

  // Big-endian readers for header and block framing.
  static uint32_t GetInt(const uint8_t* bytes);
  static uint16_t GetShort(const uint8_t* bytes);

  std::string filename;
  uint32_t signature = 0;
  uint32_t version = 0;
  uint32_t checksum = 0;
  uint32_t blockCount = 0;
  std::vector<BirdBlock> blocks;
  bool hasSerialNumberOffsets = false;
  uint32_t serialNumberOffset = 0;
  uint32_t descriptorOffset = 0;
  std::unique_ptr<uint8_t[]> data;
  uint32_t dataSize = 0;

private:
  std::string problem;
  enum class ScanResult { Ok, Mismatch, Malformed };
  ScanResult Scan(uint8_t* content, uint32_t size);
  void Reset();
  // The 64 information bytes (zero padded when the block is shorter), or false.
  bool InfoBytes(uint8_t (&info)[INFO_BLOCK_SIZE]) const;
};
