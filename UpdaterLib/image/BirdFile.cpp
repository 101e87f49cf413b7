#include "image/BirdFile.h"

#include <zlib.h>

#include <cassert>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <new>
#include <stdexcept>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Log.h"
#include "aBytes.h"

static const size_t kHeaderSize = 6;
static const uint32_t kBlockFraming = 5;  // type byte and 4-byte length
static const uint32_t kTrailerSize = 4;   // file checksum
static const uint32_t kInfoBuildField = 0;
static const uint32_t kInfoVersionField = 16;
static const uint32_t kInfoSerialField = 32;
static const uint32_t kInfoModelField = 48;
static const uint32_t kInfoFieldWidth = 16;

uint32_t BirdFile::GetInt(const uint8_t* p) { return aBytes_GetBE32(p); }

uint16_t BirdFile::GetShort(const uint8_t* p) { return aBytes_GetBE16(p); }

static int sDigitValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return 99;
}

// Unsigned number of at most `width` characters, leading blanks skipped, up to
// the first character that is no digit of `base`. A value beyond 32 bits is
// no usable build or serial number and gives 0.
static uint32_t sParseUnsigned(const uint8_t* text, size_t width, unsigned base) {
  size_t i = 0;
  while (i < width && text[i] == ' ')
    i++;
  uint64_t value = 0;
  for (; i < width && sDigitValue(static_cast<char>(text[i])) < static_cast<int>(base); i++) {
    value = value * base + static_cast<uint64_t>(sDigitValue(static_cast<char>(text[i])));
    if (value > UINT32_MAX)
      return 0;
  }
  return static_cast<uint32_t>(value);
}

BirdFile::BirdFile() = default;

BirdFile::BirdFile(const char* name) : filename(name ? name : "") {
  assert(this->filename.length() > 0);
  if (!Load())
    throw std::runtime_error("Failed to load bird file " + filename + ": " + problem);
}

BirdFile::BirdFile(BirdFile&& other) noexcept { *this = std::move(other); }

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
  if (this == &other)
    return *this;
  filename = std::move(other.filename);
  signature = other.signature;
  version = other.version;
  checksum = other.checksum;
  blockCount = other.blockCount;
  // The blocks point into the heap buffer, which moves with them unchanged.
  blocks = std::move(other.blocks);
  hasSerialNumberOffsets = other.hasSerialNumberOffsets;
  serialNumberOffset = other.serialNumberOffset;
  descriptorOffset = other.descriptorOffset;
  problem = std::move(other.problem);
  data = std::move(other.data);
  dataSize = other.dataSize;
  other.Reset();
  other.filename.clear();
  return *this;
}

void BirdFile::Reset() {
  signature = version = checksum = blockCount = 0;
  blocks.clear();
  hasSerialNumberOffsets = false;
  serialNumberOffset = descriptorOffset = 0;
  data.reset();
  dataSize = 0;
  problem.clear();
}

// The largest compressed body that can be inflated: its output capacity is
// eight times the input and must fit 32 bits.
static const uint64_t kMaxCompressed = UINT32_MAX / 8;

// Reads up to raw.size() bytes; false (with the reason) when fewer arrive.
static bool sReadAll(int fd, std::vector<uint8_t>& raw, std::string& problem) {
  size_t count = 0;
  while (count < raw.size()) {
    ssize_t n = read(fd, raw.data() + count, raw.size() - count);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      problem = strerror(errno);
    if (n <= 0)
      break;
    count += static_cast<size_t>(n);
  }
  if (count == raw.size())
    return true;
  if (problem.empty())
    problem = "read " + std::to_string(count) + " of " + std::to_string(raw.size()) + " bytes";
  return false;
}

// Why a file that opened cannot be loaded (empty when it can), with its debug line.
static std::string sUnloadable(const std::string& path, const struct stat& info) {
  if (S_ISDIR(info.st_mode)) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
    return strerror(EISDIR);
  }
  if (!S_ISREG(info.st_mode)) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s is not a regular file\n", path.c_str());
    return "not a regular file";
  }
  if (static_cast<uint64_t>(info.st_size) > kHeaderSize + kMaxCompressed) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s is too large (%lld bytes)\n", path.c_str(),
             static_cast<long long>(info.st_size));
    return "too large to load (" + std::to_string(info.st_size) + " bytes)";
  }
  return std::string();
}

// Reads a regular file whole. Anything else (a FIFO, a device) is refused
// before it can block, and a file too large to load is refused before a byte
// of it is read. On failure `problem` says why, as the user should read it.
static bool sReadRegularFile(const std::string& path, std::vector<uint8_t>& raw, std::string& problem) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    problem = strerror(errno);
    if (errno == ENOENT)
      Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
    else
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
    return false;
  }
  struct stat info;
  if (fstat(fd, &info) != 0)
    problem = strerror(errno);
  else
    problem = sUnloadable(path, info);
  if (problem.empty()) {
    raw.resize(static_cast<size_t>(info.st_size));
    if (!sReadAll(fd, raw, problem))
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s: %s\n", path.c_str(), problem.c_str());
  }
  close(fd);
  return problem.empty();
}

bool BirdFile::Load() {
  Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", filename.c_str());
  Reset();
  std::vector<uint8_t> raw;
  if (filename.empty()) {
    problem = "no file name";
    return false;
  }
  if (!sReadRegularFile(filename, raw, problem))
    return false;
  return LoadBytes(raw.data(), raw.size());
}

bool BirdFile::LoadBytes(const uint8_t* bytes, size_t count) {
  Reset();
  bool result = true;
  if (count > kHeaderSize) {
    signature = GetInt(bytes);
    version = GetShort(bytes + 4);
  }
  if (count < kHeaderSize) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s is too short for a header (%zu bytes)\n", filename.c_str(), count);
    problem = "too short for a BIRD file (" + std::to_string(count) + " bytes)";
    result = false;
  } else {
    result = DecompressData(bytes + kHeaderSize, count - kHeaderSize);
  }
  // The signature is not required, but a file without it is most likely no
  // BIRD file at all, which says more than a failed decompression.
  if (!result && count >= kHeaderSize && GetInt(bytes) != BIRD_FILE_SIGNATURE)
    problem = "not a BIRD file (it does not begin with \"bird\")";
  // Count and size mismatches are only logged; a block that does not fit in
  // the content fails the load, as flashing a cut image would be worse.
  if (result && Scan(data.get(), dataSize) == ScanResult::Malformed) {
    problem = "its blocks do not fit in its content";
    result = false;
  }
  if (result && !FindBlocks(BLOCK_SERIAL_OFFSETS).empty()) {
    hasSerialNumberOffsets = true;
    FindSerialNumberOffsets();
  }
  return result;
}

bool BirdFile::DecompressData(const uint8_t* compressed, uint64_t length) {
  // The blocks point into the old buffer; they go with it.
  blocks.clear();
  blockCount = 0;
  data.reset();
  dataSize = 0;
  if (length > kMaxCompressed || (!compressed && length)) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot decompress %" PRIu64 " bytes.\n", length);
    problem = "its body is too large to decompress";
    return false;
  }
  uint32_t capacity = static_cast<uint32_t>(length) * 8;
  data.reset(new (std::nothrow) uint8_t[capacity ? capacity : 1]);
  if (!data) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - no memory for %u decompressed bytes.\n", capacity);
    problem = "no memory to decompress it";
    return false;
  }
  static const uint8_t empty = 0;
  uLongf outLength = capacity;
  int rc = uncompress(data.get(), &outLength, compressed ? compressed : &empty, static_cast<uLong>(length));
  if (rc != Z_OK) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", rc);
    problem = std::string("its body does not decompress (") + zError(rc) + ")";
    data.reset();
    return false;
  }
  dataSize = static_cast<uint32_t>(outLength);
  return true;
}

bool BirdFile::ScanBlocks(uint8_t* content, uint32_t size) { return Scan(content, size) == ScanResult::Ok; }

static void sLogInfoFields(const uint8_t* content, uint32_t length) {
  uint8_t info[BirdFile::INFO_BLOCK_SIZE] = {0};
  memcpy(info, content, length < sizeof(info) ? length : sizeof(info));
  for (uint32_t at = 0; at < sizeof(info); at += kInfoFieldWidth)
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", reinterpret_cast<const char*>(info + at));
}

BirdFile::ScanResult BirdFile::Scan(uint8_t* content, uint32_t size) {
  blocks.clear();
  blockCount = 0;
  checksum = 0;
  // Without room for a block count and a checksum there is nothing to scan.
  if (!content || size < 4 + kTrailerSize) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - content of %u bytes is too short.\n", size);
    return ScanResult::Malformed;
  }
  uint32_t reported = GetInt(content);
  Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", reported);
  Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
  Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");
  uint32_t pos = 4;
  uint32_t remaining = size - 4;
  while (remaining > kTrailerSize) {
    // A block must end before the trailing checksum.
    uint32_t room = remaining - kTrailerSize;
    uint32_t length = room >= kBlockFraming ? GetInt(content + pos + 1) : 0;
    if (room < kBlockFraming || length > room - kBlockFraming) {
      if (blockCount >= reported)
        break;  // bytes after the last announced block: a size mismatch only
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error - block %u runs past the end of the content.\n", blockCount + 1);
      blocks.clear();
      blockCount = 0;
      return ScanResult::Malformed;
    }
    BirdBlock block(content[pos], length, content + pos + kBlockFraming);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags, block.length);
    if (block.type == BLOCK_INFO)
      sLogInfoFields(block.data, block.length);
    pos += kBlockFraming + length;
    remaining -= kBlockFraming + length;
    blocks.push_back(block);
    blockCount++;
  }
  checksum = GetInt(content + pos);
  Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
  remaining -= kTrailerSize;

  ScanResult result = ScanResult::Ok;
  if (remaining != 0) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n", remaining);
    result = ScanResult::Mismatch;
  }
  if (blockCount != reported) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n", blockCount,
             reported);
    result = ScanResult::Mismatch;
  }
  return result;
}

std::vector<BirdBlock> BirdFile::FindBlocks(uint8_t type) const {
  std::vector<BirdBlock> found;
  for (const BirdBlock& block : blocks)
    if (block.type == type)
      found.push_back(block);
  return found;
}

bool BirdFile::FindSerialNumberOffsets() {
  if (blockCount == 0)
    return false;
  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_SERIAL_OFFSETS)
      continue;
    // A short block supplies only the fields it holds completely; a missing
    // field reads as 0, which means absent.
    serialNumberOffset = block.length >= 4 ? GetInt(block.data) : 0;
    descriptorOffset = block.length >= 8 ? GetInt(block.data + 4) : 0;
    Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n", serialNumberOffset,
             descriptorOffset);
    return true;
  }
  return false;
}

bool BirdFile::InfoBytes(uint8_t (&info)[INFO_BLOCK_SIZE]) const {
  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_INFO)
      continue;
    // A short information block reads as if padded with NULs.
    memset(info, 0, sizeof(info));
    memcpy(info, block.data, block.length < sizeof(info) ? block.length : sizeof(info));
    return true;
  }
  return false;
}

uint32_t BirdFile::GetBuild() const {
  uint8_t info[INFO_BLOCK_SIZE];
  return InfoBytes(info) ? sParseUnsigned(info + kInfoBuildField, 15, 10) : 0;
}

std::string BirdFile::GetVersion() const {
  uint8_t info[INFO_BLOCK_SIZE];
  if (!InfoBytes(info))
    return std::string();
  std::string text;
  for (uint32_t i = kInfoVersionField; i < kInfoVersionField + 15 && info[i] != ' ' && info[i] != '\0'; i++)
    text += static_cast<char>(info[i]);
  return text;
}

uint32_t BirdFile::GetSerialNumber() const {
  uint8_t info[INFO_BLOCK_SIZE];
  return InfoBytes(info) ? sParseUnsigned(info + kInfoSerialField, 8, 16) : 0;
}

bool BirdFile::ValidateSerialNumber(uint32_t serialNumber) const { return serialNumber == GetSerialNumber(); }

bool BirdFile::ValidateModel(const char* modelName) const {
  uint8_t info[INFO_BLOCK_SIZE];
  // An empty name would match every file by the prefix rule; it matches none.
  if (!modelName || !*modelName || !InfoBytes(info))
    return false;
  char field[kInfoFieldWidth + 1];
  memcpy(field, info + kInfoModelField, kInfoFieldWidth);
  field[kInfoFieldWidth] = '\0';
  size_t fieldLength = strlen(field);
  while (fieldLength > 0 && field[fieldLength - 1] == ' ')
    field[--fieldLength] = '\0';
  size_t nameLength = strlen(modelName);
  if (nameLength > fieldLength || memcmp(field, modelName, nameLength) != 0)
    return false;
  Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field, modelName);
  return true;
}

// Whether the `size` bytes at memory address `at` lie inside the image of
// `block`; computed in 64 bits so addresses near 4 GiB cannot wrap.
static bool sInsideImage(const BirdBlock& block, uint32_t at, uint32_t size) {
  uint64_t start = block.address;
  uint64_t end = start + block.ImageLength();
  return at >= start && uint64_t(at) + size <= end;
}

uint64_t BirdFile::ImageBytes(uint8_t type) const {
  uint64_t bytes = 0;
  for (const BirdBlock& block : blocks)
    if (block.type == type)
      bytes += block.ImageLength();
  return bytes;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serialNumber) {
  char digits[9];
  snprintf(digits, sizeof(digits), "%08X", serialNumber);
  bool result = false;
  for (BirdBlock& block : blocks) {
    // A block too short for its address is no image at all; one with an
    // address but no bytes still counts as seen.
    if (block.type != BLOCK_FIRMWARE || block.length < 4)
      continue;
    uint8_t* image = block.ImageData();
    if (serialNumberOffset != 0) {
      if (sInsideImage(block, serialNumberOffset, 4)) {
        uint8_t* word = image + (serialNumberOffset - block.address);
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n", aBytes_GetLE32(word),
                 serialNumber);
        aBytes_PutLE32(word, serialNumber);
      }
      // The word lives in one of possibly several blocks; seeing any block
      // is enough for success.
      result = true;
    }
    if (descriptorOffset != 0 && sInsideImage(block, descriptorOffset, 16)) {
      uint8_t* text = image + (descriptorOffset - block.address);
      for (int i = 0; i < 8; i++)
        text[2 * i] = static_cast<uint8_t>(digits[i]);  // low byte of each UTF-16LE unit
      result = true;
    }
  }
  return result;
}

bool BirdFile::ReplaceVectorChecksum() {
  for (BirdBlock& block : blocks) {
    // Eight vector words are needed; a shorter image has no table to fix.
    if (block.type != BLOCK_FIRMWARE || block.address != 0 || block.ImageLength() < 32)
      continue;
    uint8_t* image = block.ImageData();
    uint32_t sum = 0;
    for (int word : {0, 1, 2, 3, 4, 6})
      sum += aBytes_GetLE32(image + 4 * word);
    uint32_t value = ~sum + 1;
    Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n", aBytes_GetLE32(image + 28), value);
    aBytes_PutLE32(image + 28, value);
  }
  return true;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t* key) {
  if (!key)
    return false;
  uint8_t bytes[16];
  for (int w = 0; w < 4; w++)
    aBytes_PutBE32(bytes + 4 * w, key[w]);
  for (BirdBlock& block : blocks) {
    if (block.type != BLOCK_FIRMWARE)
      continue;
    uint8_t* image = block.ImageData();
    uint8_t previous = 0;
    for (uint32_t i = 0; i < block.ImageLength(); i++) {
      image[i] = static_cast<uint8_t>(image[i] ^ bytes[i % 16] ^ previous);
      previous = image[i];
    }
  }
  return true;
}

bool BirdFile::ValidateData(const uint8_t* pattern, uint32_t length) const {
  Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", filename.c_str());
  bool found = false;
  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_FIRMWARE || !pattern || length == 0 || length > block.length)
      continue;
    for (uint32_t pos = 0; pos + length <= block.length; pos++) {
      if (memcmp(block.data + pos, pattern, length) == 0) {
        Log::log(DEBUG_BirdFile, "Found data at %d\n", pos);
        found = true;
      }
    }
  }
  Log::log(DEBUG_BirdFile, "\n");
  return found;
}

// One debug-log line per 50 bytes: offset, hexadecimal bytes, printable text.
static void sLogDumpLine(const uint8_t* bytes, uint32_t offset, uint32_t count) {
  std::string hex, text;
  char pair[4];
  for (uint32_t i = 0; i < count; i++) {
    snprintf(pair, sizeof(pair), "%02X ", bytes[i]);
    hex += pair;
    text += isprint(bytes[i]) ? static_cast<char>(bytes[i]) : ' ';
  }
  Log::log(DEBUG_BirdFile, "BIRDFILE: %06u: %s %s\n", offset, hex.c_str(), text.c_str());
}

bool BirdFile::DumpBlocks(uint8_t type) const {
  Log::log(DEBUG_BirdFile, "BIRDFILE: BLOCK DUMP [%s]\n", filename.c_str());
  for (const BirdBlock& block : blocks) {
    if (block.type != type)
      continue;
    for (uint32_t at = 0; at < block.length; at += 50)
      sLogDumpLine(block.data + at, at, block.length - at < 50 ? block.length - at : 50);
  }
  return true;
}

bool BirdFile::CheckHeader(const char* path, std::string& problem) {
  FILE* file = path ? fopen(path, "rb") : nullptr;
  if (!file) {
    problem = path ? strerror(errno) : "no file name";
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path ? path : "");
    return false;
  }
  uint8_t header[kHeaderSize];
  size_t count = fread(header, 1, sizeof(header), file);
  int readError = ferror(file) ? errno : 0;
  fclose(file);
  if (readError)
    problem = strerror(readError);
  else if (count < sizeof(header))
    problem = "too short for a BIRD file (" + std::to_string(count) + " bytes)";
  else if (GetInt(header) != BIRD_FILE_SIGNATURE)
    problem = "not a BIRD file (it does not begin with \"bird\")";
  else if (header[4] == 0 || header[5] == 0)
    problem = "unknown BIRD format version";
  else
    return true;
  return false;
}

bool BirdFile::VerifyFile(const char* path) {
  std::string problem;
  return CheckHeader(path, problem);
}
