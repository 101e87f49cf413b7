#include "ConsoleText.h"

#include <cstdio>

namespace {

void sAppendEscaped(std::string& out, unsigned char byte) {
  char code[5];
  snprintf(code, sizeof(code), "\\x%02x", byte);
  out += code;
}

// The length of the well-formed UTF-8 sequence at `p` (2 to 4), or 0.
size_t sUtf8Length(const unsigned char* p) {
  size_t length = p[0] >= 0xF0 && p[0] <= 0xF4 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC2 && p[0] < 0xE0 ? 2 : 0;
  if (p[0] >= 0xF5)
    return 0;
  for (size_t i = 1; i < length; i++)
    if ((p[i] & 0xC0) != 0x80)
      return 0;
  // Overlong three- and four-byte forms, surrogates and values past U+10FFFF.
  if ((p[0] == 0xE0 && p[1] < 0xA0) || (p[0] == 0xED && p[1] >= 0xA0) || (p[0] == 0xF0 && p[1] < 0x90) ||
      (p[0] == 0xF4 && p[1] >= 0x90))
    return 0;
  return length;
}

}  // namespace

std::string EscapeControls(const char* text) {
  std::string out;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text ? text : "");
  while (*p) {
    if (*p < 0x80) {
      if ((*p < 0x20 && *p != '\n' && *p != '\t') || *p == 0x7F)
        sAppendEscaped(out, *p);
      else
        out += static_cast<char>(*p);
      p++;
      continue;
    }
    size_t length = sUtf8Length(p);
    // U+0080 to U+009F are the C1 controls.
    if (length == 0 || (p[0] == 0xC2 && p[1] < 0xA0)) {
      for (size_t i = 0; i < (length ? length : 1); i++)
        sAppendEscaped(out, p[i]);
      p += length ? length : 1;
      continue;
    }
    out.append(reinterpret_cast<const char*>(p), length);
    p += length;
  }
  return out;
}
