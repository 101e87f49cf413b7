// Base64 (RFC 4648 alphabet, "=" padding) for the BIRD files the update server sends.
#pragma once
#include <cstddef>

// Both return a buffer from malloc (release it with free) and its length
// through out_length; the buffer is NUL-terminated after that length.
char* base64_encode(const unsigned char* data, size_t input_length, size_t* out_length);
// Null when the length is not a multiple of 4, when a character is outside the
// alphabet, when "=" appears anywhere but as the last one or two characters,
// or when memory cannot be had.
unsigned char* base64_decode(const char* data, size_t input_length, size_t* out_length);

namespace base64 {
// A 256-entry reverse table from malloc; characters outside the alphabet map to 0xFF.
unsigned char* _build_decoding_table();
}  // namespace base64
