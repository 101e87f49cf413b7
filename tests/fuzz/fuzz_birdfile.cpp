// BIRD files: loading and every rewrite must stay inside the content.
//
// Mutated zlib streams almost never inflate, so most inputs are the content
// itself, compressed here; the first byte chooses how the file is made:
//   bit 0 set:        the rest is the content, compressed at level (byte >> 1) % 10
//                     (level 0 stores it, so even long runs stay within the
//                     eightfold room the loader gives the content);
//   bits 0-1 are 10:  as above at level 9, then cut short by (byte >> 2) bytes,
//                     for the errors of a stream that ends early;
//   bits 0-1 are 00:  the rest is the whole file as it is, header included.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <zlib.h>

#include "image/BirdFile.h"
#include "image/BirdSignature.h"

namespace {

void Require(bool condition) {
  if (!condition)
    abort();
}

const uint8_t kHeader[6] = {'b', 'i', 'r', 'd', 0x01, 0x01};

// Header and compressed content; `cut` bytes are dropped from the end.
std::vector<uint8_t> MakeFile(const uint8_t* content, size_t size, int level, size_t cut) {
  uLongf length = compressBound(static_cast<uLong>(size));
  std::vector<uint8_t> file(sizeof kHeader + length);
  memcpy(file.data(), kHeader, sizeof kHeader);
  Require(compress2(file.data() + sizeof kHeader, &length, content, static_cast<uLong>(size), level) == Z_OK);
  length -= cut < length ? cut : length;
  file.resize(sizeof kHeader + length);
  return file;
}

// Blocks point into the content and end inside it, however the scan went.
void CheckBlocks(const BirdFile& file) {
  Require(file.blockCount == file.blocks.size());
  const uint8_t* begin = file.data.get();
  const uint8_t* end = begin + file.dataSize;
  for (const BirdBlock& block : file.blocks) {
    Require(block.data >= begin && block.data <= end);
    Require(block.length <= static_cast<size_t>(end - block.data));
  }
}

// A whole stream inflates to exactly the content, unless the content needs
// more than eight times the compressed size.
void CheckInflated(const BirdFile& file, bool loaded, const uint8_t* content, size_t size, size_t fileSize) {
  if (size > 8 * (fileSize - sizeof kHeader)) {
    Require(!loaded && file.dataSize == 0);
    return;
  }
  // A content that does not scan may leave the buffer released.
  if (!loaded && file.dataSize == 0)
    return;
  Require(file.dataSize == size && (size == 0 || memcmp(file.data.get(), content, size) == 0));
}

void Exercise(BirdFile& file) {
  // The signature block is read before any rewrite, as the load paths read it.
  BirdSignature::Parse(file);
  file.GetBuild();
  file.GetVersion();
  file.ValidateModel("Holvex");
  file.ValidateSerialNumber(file.GetSerialNumber());
  file.FirmwareBytes();
  file.ImageBytes(BirdFile::BLOCK_LOADER);
  file.FindBlocks(BirdFile::BLOCK_START_ADDRESS);
  file.ReplaceSerialNumber(0x1234ABCD);
  file.ReplaceVectorChecksum();
  static const uint32_t key[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
  file.DecodeFirmwareBlocks(key);
  static const uint8_t pattern[4] = {0x12, 0x34, 0xAB, 0xCD};
  file.ValidateData(pattern, sizeof pattern);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  const uint8_t how = data[0];
  const uint8_t* rest = data + 1;
  const size_t restSize = size - 1;
  std::vector<uint8_t> made;
  if (how & 1)
    made = MakeFile(rest, restSize, (how >> 1) % 10, 0);
  else if (how & 2)
    made = MakeFile(rest, restSize, 9, how >> 2);
  const uint8_t* bytes = made.empty() ? rest : made.data();
  const size_t count = made.empty() ? restSize : made.size();

  BirdFile file;
  file.filename = "fuzz.bird";
  bool loaded = file.LoadBytes(bytes, count);
  CheckBlocks(file);
  if (how & 1)
    CheckInflated(file, loaded, rest, restSize, count);
  if (loaded)
    Exercise(file);
  return 0;
}
