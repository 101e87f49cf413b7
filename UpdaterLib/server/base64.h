// Base64 (RFC 4648 alphabet, "=" padding) for the BIRD files the update server sends.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// 4 * ceil(length / 3) characters, padded with "=".
std::string base64_encode(const unsigned char* data, size_t input_length);
// False (and `out` empty) when the length is not a multiple of 4, when a
// character is outside the alphabet, or when "=" appears anywhere but as the
// last one or two characters.
bool base64_decode(const char* data, size_t input_length, std::vector<uint8_t>& out);

namespace base64 {
// The 256-entry reverse table; characters outside the alphabet map to 0xFF.
std::vector<unsigned char> _build_decoding_table();
}  // namespace base64
