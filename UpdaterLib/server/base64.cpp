#include "server/base64.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

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

unsigned char* base64::_build_decoding_table() {
  unsigned char* table = static_cast<unsigned char*>(std::malloc(256));
  if (table)
    std::memcpy(table, sDecodingTable(), 256);
  return table;
}

char* base64_encode(const unsigned char* data, size_t input_length, size_t* out_length) {
  size_t length = 4 * ((input_length + 2) / 3);
  char* out = static_cast<char*>(std::malloc(length + 1));
  if (!out)
    return nullptr;
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
  out[length] = '\0';
  if (out_length)
    *out_length = length;
  return out;
}

unsigned char* base64_decode(const char* data, size_t input_length, size_t* out_length) {
  if (input_length % 4 != 0 || (input_length && !data))
    return nullptr;
  size_t padding = sPadding(data, input_length);
  size_t length = input_length / 4 * 3 - padding;
  const unsigned char* table = sDecodingTable();
  unsigned char* out = static_cast<unsigned char*>(std::malloc(length + 1));
  if (!out)
    return nullptr;
  size_t body = input_length - padding;
  size_t j = 0;
  for (size_t i = 0; i < input_length; i += 4) {
    uint32_t triple = 0;
    for (size_t k = 0; k < 4; k++) {
      uint32_t sextet = 0;
      if (i + k < body) {
        sextet = table[static_cast<unsigned char>(data[i + k])];
        if (sextet == kInvalid) {
          std::free(out);
          return nullptr;
        }
      }
      triple = (triple << 6) | sextet;
    }
    for (int shift = 16; shift >= 0 && j < length; shift -= 8)
      out[j++] = static_cast<unsigned char>((triple >> shift) & 0xFF);
  }
  out[length] = '\0';
  if (out_length)
    *out_length = length;
  return out;
}
