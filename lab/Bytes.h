// Byte order for the lab: the link's words are big-endian, USB descriptors,
// discovery replies and the words inside firmware images little-endian.
// Readers take a pointer to enough bytes; Put* append, Set* overwrite in place.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace lab {

inline uint16_t GetBE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t GetBE32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline uint16_t GetLE16(const uint8_t* p) { return static_cast<uint16_t>(p[1] << 8 | p[0]); }
inline uint32_t GetLE32(const uint8_t* p) {
  return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

inline void SetBE16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void SetBE32(uint8_t* p, uint32_t v) {
  SetBE16(p, static_cast<uint16_t>(v >> 16));
  SetBE16(p + 2, static_cast<uint16_t>(v));
}
inline void SetLE16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void SetLE32(uint8_t* p, uint32_t v) {
  SetLE16(p, static_cast<uint16_t>(v));
  SetLE16(p + 2, static_cast<uint16_t>(v >> 16));
}

inline void PutBE16(std::vector<uint8_t>& out, uint16_t v) {
  out.resize(out.size() + 2);
  SetBE16(&out[out.size() - 2], v);
}
inline void PutBE32(std::vector<uint8_t>& out, uint32_t v) {
  out.resize(out.size() + 4);
  SetBE32(&out[out.size() - 4], v);
}
inline void PutLE16(std::vector<uint8_t>& out, uint16_t v) {
  out.resize(out.size() + 2);
  SetLE16(&out[out.size() - 2], v);
}
inline void PutLE32(std::vector<uint8_t>& out, uint32_t v) {
  out.resize(out.size() + 4);
  SetLE32(&out[out.size() - 4], v);
}

// " 01 A2 FF": bytes as the lab's traces show them.
inline std::string HexBytes(const uint8_t* bytes, size_t count) {
  std::string text;
  char hex[4];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(hex, sizeof(hex), " %02X", bytes[i]);
    text += hex;
  }
  return text;
}

}  // namespace lab
