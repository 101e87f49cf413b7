#include "server/Bird.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "Bytes.h"
#include "Numbers.h"

namespace {

const size_t kHeaderSize = 6;
const uint8_t kInfoType = 4;
const uint32_t kInfoSize = 64;
const uint8_t kSignatureType = 24;
const uint32_t kSignatureSize = 76;

uint32_t sBigEndian32(const std::string& s, size_t at) {
  return lab::GetBE32(reinterpret_cast<const uint8_t*>(s.data()) + at);
}

bool sInflate(const std::string& file, std::string& content, std::string& error) {
  if (file.size() <= kHeaderSize || file.compare(0, 4, "bird") != 0) {
    error = "not a BIRD file (no \"bird\" header)";
    return false;
  }
  z_stream zs;
  std::memset(&zs, 0, sizeof(zs));
  if (inflateInit(&zs) != Z_OK) {
    error = "zlib inflateInit failed";
    return false;
  }
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(file.data() + kHeaderSize));
  zs.avail_in = static_cast<uInt>(file.size() - kHeaderSize);
  char chunk[65536];
  int rc = Z_OK;
  while (rc == Z_OK) {
    zs.next_out = reinterpret_cast<Bytef*>(chunk);
    zs.avail_out = sizeof(chunk);
    rc = inflate(&zs, Z_NO_FLUSH);
    content.append(chunk, sizeof(chunk) - zs.avail_out);
    if (rc == Z_BUF_ERROR && zs.avail_in == 0)
      break;
  }
  inflateEnd(&zs);
  if (rc != Z_STREAM_END) {
    error = "BIRD body is not a complete zlib stream";
    return false;
  }
  return true;
}

// Offset of the first information block's 64 bytes inside the content.
bool sFindInfo(const std::string& content, size_t& at, std::string& error) {
  size_t pos = 4;
  while (content.size() >= 4 && pos + 5 <= content.size() - 4) {
    uint8_t type = static_cast<uint8_t>(content[pos]) & 0x1F;
    uint32_t length = sBigEndian32(content, pos + 1);
    pos += 5;
    if (length > content.size() - pos) {
      error = "block runs past the end of the content";
      return false;
    }
    if (type == kInfoType && length >= kInfoSize) {
      at = pos;
      return true;
    }
    pos += length;
  }
  error = "no information block";
  return false;
}

// Offset of the framing byte of the signature block (type 24) when it is the
// last block; false when there is none there.
bool sFindLastSignature(const std::string& content, size_t& framing) {
  size_t pos = 4, last = 0;
  uint8_t lastType = 0xFF;
  while (content.size() >= 9 && pos + 5 <= content.size() - 4) {
    uint32_t length = sBigEndian32(content, pos + 1);
    if (length > content.size() - 4 - pos - 5)
      return false;
    last = pos;
    lastType = static_cast<uint8_t>(content[pos]);
    pos += 5 + length;
  }
  framing = last;
  return lastType == kSignatureType && pos == content.size() - 4 &&
         sBigEndian32(content, last + 1) == kSignatureSize;
}

// Signs the content again after a rewrite, as a maker's server holding the
// signing key does: the 6 header bytes and the content up to the signature
// block's framing are signed, then the trailing CRC-32 is recomputed.
bool sResign(const std::string& header, std::string& content, EVP_PKEY* key, std::string& error) {
  size_t framing = 0;
  if (!sFindLastSignature(content, framing))
    return true;  // unsigned: nothing to renew
  uint8_t raw[32], digest[EVP_MAX_MD_SIZE];
  size_t rawLength = sizeof(raw), signatureLength = 64;
  unsigned digestLength = 0;
  std::string message = header.substr(0, kHeaderSize) + content.substr(0, framing);
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  uint8_t* block = reinterpret_cast<uint8_t*>(&content[framing + 5]);
  if (EVP_PKEY_get_raw_public_key(key, raw, &rawLength) != 1 ||
      EVP_Digest(raw, rawLength, digest, &digestLength, EVP_sha256(), nullptr) != 1 || !ctx ||
      EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key) != 1 ||
      EVP_DigestSign(ctx.get(), block + 12, &signatureLength, reinterpret_cast<const uint8_t*>(message.data()),
                     message.size()) != 1) {
    error = "signing failed";
    return false;
  }
  std::memcpy(block + 4, digest, 8);
  uint32_t crc = static_cast<uint32_t>(
      crc32(0L, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size() - 4)));
  lab::SetBE32(reinterpret_cast<uint8_t*>(&content[content.size() - 4]), crc);
  return true;
}

std::string sField(const std::string& content, size_t at, size_t width) {
  std::string field = content.substr(at, width);
  size_t end = field.find_first_of(std::string(" \0", 2));
  return end == std::string::npos ? field : field.substr(0, end);
}

}  // namespace

bool LabReadFile(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return false;
  std::ostringstream out;
  out << in.rdbuf();
  bytes = out.str();
  return true;
}

bool LabBirdDescribe(const std::string& file, LabBirdInfo& info, std::string& error) {
  std::string content;
  size_t at = 0;
  if (!sInflate(file, content, error) || !sFindInfo(content, at, error))
    return false;
  std::string build = sField(content, at, 15);
  if (build.find_first_not_of("0123456789") != std::string::npos || !lab::ParseNumber(build, 10, info.build)) {
    error = "information block has no decimal build number";
    return false;
  }
  info.version = sField(content, at + 16, 15);
  // A field that holds no hexadecimal number names no serial number.
  info.serial = 0;
  lab::ParseNumber(sField(content, at + 32, 8), 16, info.serial);
  std::string model = content.substr(at + 48, 16);
  model.erase(model.find_last_not_of(std::string(" \0", 2)) + 1);
  info.model = model;
  return true;
}

bool LabBirdForModule(const std::string& file, uint32_t serial, std::string& out, std::string& error,
                      EVP_PKEY* signingKey) {
  std::string content;
  size_t at = 0;
  if (!sInflate(file, content, error) || !sFindInfo(content, at, error))
    return false;
  char digits[9];
  std::snprintf(digits, sizeof(digits), "%08X", serial);
  // A file already made for the module goes out as it is, its signature intact.
  if (content.compare(at + 32, 8, digits, 8) == 0) {
    out = file;
    return true;
  }
  content.replace(at + 32, 8, digits, 8);
  // Without the key a signed file keeps its old signature, which no longer fits.
  if (signingKey && !sResign(file, content, signingKey, error))
    return false;

  uLongf size = compressBound(content.size());
  std::string body(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(&body[0]), &size, reinterpret_cast<const Bytef*>(content.data()),
                content.size(), Z_DEFAULT_COMPRESSION) != Z_OK) {
    error = "zlib compress failed";
    return false;
  }
  body.resize(size);
  out = file.substr(0, kHeaderSize) + body;
  return true;
}

std::string LabBase64Encode(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    uint32_t v = (static_cast<uint8_t>(bytes[i]) << 16) | (static_cast<uint8_t>(bytes[i + 1]) << 8) |
                 static_cast<uint8_t>(bytes[i + 2]);
    text += kAlphabet[v >> 18];
    text += kAlphabet[(v >> 12) & 63];
    text += kAlphabet[(v >> 6) & 63];
    text += kAlphabet[v & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    if (rest == 2)
      v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    text += kAlphabet[v >> 18];
    text += kAlphabet[(v >> 12) & 63];
    text += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    text += '=';
  }
  return text;
}
