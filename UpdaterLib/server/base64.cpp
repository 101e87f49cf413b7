#include "server/base64.h"

#include <array>
#include <cstdint>

namespace {

const char kEncodingTable[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const unsigned char kInvalid = 0xFF;
const int kPaddingByRemainder[3] = {0, 2, 1};

// Padding may only close the text: "xx==" or "xxx=".
size_t sPadding(const char* data, size_t length) {
  size_t padding = 0;
  if (length >= 1 && data[length - 1] == '=')
    padding++;
  if (length >= 2 && data[length - 2] == '=')
    padding++;
  return padding;
}

// Built once, on first use, and shared by every decode.
const unsigned char* sDecodingTable() {
  static const std::array<unsigned char, 256> table = [] {
    std::array<unsigned char, 256> t;
    t.fill(kInvalid);
    for (int i = 0; i < 64; i++)
      t[static_cast<unsigned char>(kEncodingTable[i])] = static_cast<unsigned char>(i);
    return t;
  }();
  return table.data();
}

}  // namespace

std::vector<unsigned char> base64::_build_decoding_table() {
  const unsigned char* table = sDecodingTable();
  return std::vector<unsigned char>(table, table + 256);
}

std::string base64_encode(const unsigned char* data, size_t input_length) {
  size_t length = 4 * ((input_length + 2) / 3);
  std::string out(length, '=');
  size_t j = 0;
  for (size_t i = 0; i < input_length; i += 3) {
    uint32_t a = data[i];
    uint32_t b = i + 1 < input_length ? data[i + 1] : 0;
    uint32_t c = i + 2 < input_length ? data[i + 2] : 0;
    uint32_t triple = (a << 16) | (b << 8) | c;
    out[j++] = kEncodingTable[(triple >> 18) & 0x3F];
    out[j++] = kEncodingTable[(triple >> 12) & 0x3F];
    out[j++] = kEncodingTable[(triple >> 6) & 0x3F];
    out[j++] = kEncodingTable[triple & 0x3F];
  }
  for (int k = 0; k < kPaddingByRemainder[input_length % 3]; k++)
    out[length - 1 - k] = '=';
  return out;
}

bool base64_decode(const char* data, size_t input_length, std::vector<uint8_t>& out) {
  out.clear();
  if (input_length % 4 != 0 || (input_length && !data))
    return false;
  size_t padding = sPadding(data, input_length);
  size_t length = input_length / 4 * 3 - padding;
  const unsigned char* table = sDecodingTable();
  out.reserve(length);
  size_t body = input_length - padding;
  for (size_t i = 0; i < input_length; i += 4) {
    uint32_t triple = 0;
    for (size_t k = 0; k < 4; k++) {
      uint32_t sextet = 0;
      if (i + k < body) {
        sextet = table[static_cast<unsigned char>(data[i + k])];
        if (sextet == kInvalid) {
          out.clear();
          return false;
        }
      }
      triple = (triple << 6) | sextet;
    }
    for (int shift = 16; shift >= 0 && out.size() < length; shift -= 8)
      out.push_back(static_cast<unsigned char>((triple >> shift) & 0xFF));
  }
  return true;
}
