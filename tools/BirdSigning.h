// Header-only signing (and checking) of BIRD files with Ed25519 keys in PEM,
// shared by birdpack and the tests. The signature block (type 24) is the last
// block; layout 1 of its 76 bytes: layout version 1, algorithm 1 (Ed25519),
// two reserved zero bytes, the key identifier (the first 8 bytes of SHA-256 of
// the raw public key), the 64-byte signature. The signature covers the 6
// header bytes and the content from the block count up to the signature
// block's framing; the trailing CRC-32 is computed after signing.
#pragma once
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdWriter.h"

namespace birdwriter {

constexpr uint8_t kSignature = 24;
constexpr size_t kSignatureBlockSize = 76;
constexpr size_t kKeyIdSize = 8;

using PKey = std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)>;

// Reads a PEM key: private (`secret`) or public; throws unless it is Ed25519.
inline PKey ReadEd25519Key(const std::string& path, bool secret) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (!file)
    throw std::runtime_error("cannot read key \"" + path + "\"");
  PKey key(secret ? PEM_read_PrivateKey(file, nullptr, nullptr, nullptr)
                  : PEM_read_PUBKEY(file, nullptr, nullptr, nullptr),
           EVP_PKEY_free);
  std::fclose(file);
  if (!key || EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519)
    throw std::runtime_error("\"" + path + "\" is not an Ed25519 " + (secret ? "private" : "public") +
                             " key in PEM (make one with: openssl genpkey -algorithm ed25519)");
  return key;
}

// The key identifier: the first 8 bytes of SHA-256 of the raw public key.
inline std::vector<uint8_t> KeyId(EVP_PKEY* key) {
  uint8_t raw[32];
  size_t length = sizeof(raw);
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_PKEY_get_raw_public_key(key, raw, &length) != 1 ||
      EVP_Digest(raw, length, digest, &size, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("cannot read the public key");
  return std::vector<uint8_t>(digest, digest + kKeyIdSize);
}

inline std::string HexText(const uint8_t* bytes, size_t count) {
  std::string text;
  char pair[3];
  for (size_t i = 0; i < count; i++) {
    std::snprintf(pair, sizeof(pair), "%02X", bytes[i]);
    text += pair;
  }
  return text;
}

inline std::vector<uint8_t> SignatureMessage(const std::vector<uint8_t>& content, size_t framingAt) {
  std::vector<uint8_t> message = {'b', 'i', 'r', 'd', 0x01, 0x01};
  message.insert(message.end(), content.begin(), content.begin() + static_cast<long>(framingAt));
  return message;
}

inline void PutCrc(std::vector<uint8_t>& content) {
  uLong crc = crc32(crc32(0L, Z_NULL, 0), content.data(), static_cast<uInt>(content.size() - 4));
  for (int i = 0; i < 4; i++)
    content[content.size() - 4 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
}

// The content of `blocks` (any signature block among them dropped) with a
// signature block by `key` as its last block.
inline std::vector<uint8_t> SignedContent(const std::vector<Block>& blocks, EVP_PKEY* key) {
  std::vector<Block> kept;
  for (const Block& block : blocks)
    if (block.type != kSignature)
      kept.push_back(block);
  Block signature;
  signature.type = kSignature;
  signature.content.assign(kSignatureBlockSize, 0);
  signature.content[0] = 1;  // layout version
  signature.content[1] = 1;  // Ed25519
  std::vector<uint8_t> id = KeyId(key);
  std::copy(id.begin(), id.end(), signature.content.begin() + 4);
  kept.push_back(signature);
  std::vector<uint8_t> content = EncodeContent(kept);
  const size_t framingAt = content.size() - 4 - kSignatureBlockSize - 5;
  std::vector<uint8_t> message = SignatureMessage(content, framingAt);
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  size_t length = 64;
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key) != 1 ||
      EVP_DigestSign(ctx.get(), &content[framingAt + 5 + 12], &length, message.data(), message.size()) != 1 ||
      length != 64)
    throw std::runtime_error("signing failed");
  PutCrc(content);
  return content;
}

inline std::vector<uint8_t> SignedFile(const std::vector<Block>& blocks, EVP_PKEY* key) {
  return EncodeLoadableFile(SignedContent(blocks, key));
}

// Checks a file's signature with one public key; empty when it holds, else why not.
inline std::string CheckSignature(const std::vector<uint8_t>& file, EVP_PKEY* key) {
  std::vector<uint8_t> content = DecodeContent(file);
  std::vector<Block> blocks = DecodeBlocks(content);
  size_t signatures = 0;
  for (const Block& block : blocks)
    signatures += block.type == kSignature;
  if (signatures == 0)
    return "unsigned";
  if (signatures > 1 || blocks.back().type != kSignature || blocks.back().flags != 0)
    return "its signature block is not the one last block";
  const std::vector<uint8_t>& block = blocks.back().content;
  if (block.size() != kSignatureBlockSize || block[0] != 1 || block[1] != 1)
    return "its signature block does not have layout 1 (Ed25519)";
  const size_t framingAt = content.size() - 4 - kSignatureBlockSize - 5;
  std::vector<uint8_t> copy = content;
  PutCrc(copy);
  std::vector<uint8_t> id = KeyId(key);
  std::string signer = HexText(&block[4], kKeyIdSize);
  if (!std::equal(id.begin(), id.end(), block.begin() + 4))
    return "signed by key " + signer + ", not by this key (" + HexText(id.data(), id.size()) + ")";
  std::vector<uint8_t> message(file.begin(), file.begin() + static_cast<long>(kHeaderSize));
  message.insert(message.end(), content.begin(), content.begin() + static_cast<long>(framingAt));
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  bool good = ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key) == 1 &&
              EVP_DigestVerify(ctx.get(), &block[12], 64, message.data(), message.size()) == 1;
  if (!good || copy != content)
    return "signed by key " + signer + ", but the signature does not match the file";
  return std::string();
}

}  // namespace birdwriter
