#include "image/BirdSignature.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <cstdio>

#include "aBytes.h"
#include "image/BirdFile.h"

namespace {

const uint32_t kFraming = 5;  // type byte and 4-byte length before a block's content
const uint32_t kTrailer = 4;  // the checksum

BirdSignature::Parsed sMalformed(const std::string& problem) {
  BirdSignature::Parsed parsed;
  parsed.state = BirdSignature::Parsed::Malformed;
  parsed.problem = problem;
  return parsed;
}

std::string sHex(const uint8_t* bytes, size_t count) {
  std::string text;
  char pair[3];
  for (size_t i = 0; i < count; i++) {
    snprintf(pair, sizeof(pair), "%02X", bytes[i]);
    text += pair;
  }
  return text;
}

// Where the framing of a block starts, as an offset into the content.
uint32_t sFramingOffset(const BirdFile& file, const BirdBlock& block) {
  return static_cast<uint32_t>(block.data - file.data.get()) - kFraming;
}

// The signature block must be the last of the file, announced in its block
// count and followed by nothing but the checksum: moving it or adding bytes
// after it would otherwise go unnoticed.
std::string sPlacementProblem(const BirdFile& file, const BirdBlock& block) {
  const uint32_t end = static_cast<uint32_t>(block.data - file.data.get()) + block.length;
  if (&block != &file.blocks.back())
    return "its signature block is not the last block";
  if (end + kTrailer != file.dataSize)
    return "bytes follow its signature block";
  if (BirdFile::GetInt(file.data.get()) != file.blockCount)
    return "its block count does not match its blocks";
  if (block.flags != 0)
    return "its signature block carries flags";
  return std::string();
}

std::string sLayoutProblem(const BirdBlock& block) {
  if (block.length < 2)
    return "its signature block is too short";
  if (block.data[0] != BirdSignature::kLayoutVersion)
    return "its signature block has unknown layout version " + std::to_string(block.data[0]);
  if (block.data[1] != BirdSignature::kAlgorithmEd25519)
    return "its signature block names unknown algorithm " + std::to_string(block.data[1]);
  if (block.length != BirdSignature::kBlockLength || block.data[2] != 0 || block.data[3] != 0)
    return "its signature block does not have layout 1";
  return std::string();
}

}  // namespace

std::string BirdSignature::KeyIdOf(const uint8_t* rawPublicKey, size_t length) {
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(rawPublicKey, length, digest, &size, EVP_sha256(), nullptr) != 1 || size < kKeyIdLength)
    return std::string();
  return sHex(digest, kKeyIdLength);
}

BirdSignature::Parsed BirdSignature::Parse(const BirdFile& file) {
  const BirdBlock* found = nullptr;
  for (const BirdBlock& block : file.blocks) {
    if (block.type != kBlockType)
      continue;
    if (found)
      return sMalformed("it holds more than one signature block");
    found = &block;
  }
  if (!found)
    return Parsed();
  std::string problem = sPlacementProblem(file, *found);
  if (problem.empty())
    problem = sLayoutProblem(*found);
  if (!problem.empty())
    return sMalformed(problem);

  Parsed parsed;
  parsed.state = Parsed::Signed;
  parsed.keyId = sHex(found->data + 4, kKeyIdLength);
  parsed.signature.assign(found->data + 4 + kKeyIdLength, found->data + kBlockLength);
  const uint8_t* content = file.data.get();
  uint8_t header[6];
  aBytes_PutBE32(header, file.signature);
  aBytes_PutBE16(header + 4, static_cast<uint16_t>(file.version));
  parsed.message.assign(header, header + sizeof(header));
  parsed.message.insert(parsed.message.end(), content, content + sFramingOffset(file, *found));
  uint32_t covered = file.dataSize - kTrailer;
  parsed.checksumMatches = static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), content, covered)) == file.checksum;
  return parsed;
}
