// The signature block of a BIRD file: a detached Ed25519 signature by the
// file's maker, in a block type that loaders which do not know it keep and
// never interpret. Layout 1 of the block's 76 content bytes:
//   0      layout version, 1
//   1      algorithm, 1 = Ed25519
//   2..3   reserved, 0
//   4..11  key identifier: the first 8 bytes of SHA-256 of the raw 32-byte public key
//   12..75 the signature
// The signed message is the 6 header bytes followed by the content from its
// block count up to the signature block's framing byte. The signature block is
// the last block; the checksum after it, a CRC-32 of everything before it,
// must match too, so that no byte of the file is left unprotected.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

class BirdFile;

namespace BirdSignature {

constexpr uint8_t kBlockType = 24;
constexpr uint8_t kLayoutVersion = 1;
constexpr uint8_t kAlgorithmEd25519 = 1;
constexpr uint32_t kBlockLength = 76;
constexpr size_t kKeyIdLength = 8;
constexpr size_t kSignatureLength = 64;

// What a loaded file's signature block says, before any key is consulted.
struct Parsed {
  enum State { Unsigned, Malformed, Signed };
  State state = Unsigned;
  std::string problem;           // Malformed: what is wrong
  std::string keyId;             // Signed: 16 upper-case hex digits
  std::vector<uint8_t> message;  // Signed: the bytes the signature covers
  std::vector<uint8_t> signature;
  bool checksumMatches = false;  // Signed: the trailing CRC-32 fits the content
};

// Reads the signature block of a file as it was loaded (before any rewrite).
Parsed Parse(const BirdFile& file);

// The key identifier of a raw Ed25519 public key, as 16 upper-case hex digits.
std::string KeyIdOf(const uint8_t* rawPublicKey, size_t length);

}  // namespace BirdSignature
