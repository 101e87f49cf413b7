#include "server/Bird.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "Bytes.h"
#include "Numbers.h"

namespace {

const size_t kHeaderSize = 6;
const uint8_t kInfoType = 4;
const uint32_t kInfoSize = 64;

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

bool LabBirdForModule(const std::string& file, uint32_t serial, std::string& out, std::string& error) {
  std::string content;
  size_t at = 0;
  if (!sInflate(file, content, error) || !sFindInfo(content, at, error))
    return false;
  char digits[9];
  std::snprintf(digits, sizeof(digits), "%08X", serial);
  content.replace(at + 32, 8, digits, 8);

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
