#include "aNumber.h"

#include <stddef.h>
#include <stdlib.h>

namespace {

int sDigit(char c, int base) {
  int d = -1;
  if (c >= '0' && c <= '9')
    d = c - '0';
  else if (c >= 'a' && c <= 'f')
    d = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F')
    d = c - 'A' + 10;
  return d < base ? d : -1;
}

bool sBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Skips what the lenient mode allows before the digits; returns the first digit's place.
const char* sLenientStart(const char* p, int base, bool* negative) {
  while (sBlank(*p))
    p++;
  *negative = *p == '-';
  if (*p == '-' || *p == '+')
    p++;
  // A "0x" not followed by a digit is the number 0 followed by other text.
  if (base == 16 && p[0] == '0' && p[1] == 'x' && sDigit(p[2], 16) >= 0)
    p += 2;
  return p;
}

// The digits from `p` on, up to the first other character; *end is set to it.
// False once the value passes `limit` (the digits are still all consumed).
bool sDigits(const char* p, int base, uint64_t limit, uint64_t* value, const char** end) {
  uint64_t result = 0;
  bool fits = true;
  const uint64_t b = static_cast<uint64_t>(base);
  for (int d; (d = sDigit(*p, base)) >= 0; ++p) {
    if (fits && result > (limit - static_cast<uint64_t>(d)) / b)
      fits = false;
    if (fits)
      result = result * b + static_cast<uint64_t>(d);
  }
  *value = result;
  *end = p;
  return fits;
}

}  // namespace

aErr aNumber_Parse(const char* text, aNumberMode mode, int base, uint64_t limit, uint64_t* magnitude,
                   bool* negative) {
  if (text == nullptr || magnitude == nullptr || (base != 10 && base != 16))
    return aErrParam;
  bool minus = false;
  const char* start = mode == aNumberLenient ? sLenientStart(text, base, &minus) : text;
  uint64_t value = 0;
  const char* end = start;
  const bool fits = sDigits(start, base, limit, &value, &end);
  // Strict: text after the digits makes it no number at all, however large.
  aErr err = end == start || (mode == aNumberStrict && *end != '\0') ? aErrParse : !fits ? aErrRange : aErrNone;
  if (mode == aNumberStrict && err != aErrNone)
    return err;
  *magnitude = err == aErrRange ? limit : err == aErrParse ? 0 : value;
  if (negative)
    *negative = minus && err != aErrParse;
  return err;
}

aErr aNumber_ParseU64(const char* text, int base, uint64_t* value) {
  return aNumber_Parse(text, aNumberStrict, base, UINT64_MAX, value, nullptr);
}

aErr aNumber_ParseU32(const char* text, int base, uint32_t* value) {
  if (value == nullptr)
    return aErrParam;
  uint64_t wide = 0;
  aErr err = aNumber_Parse(text, aNumberStrict, base, UINT32_MAX, &wide, nullptr);
  if (err == aErrNone)
    *value = static_cast<uint32_t>(wide);
  return err;
}

int32_t aNumber_LeadingI32(const char* text, int base) {
  uint64_t magnitude = 0;
  bool negative = false;
  if (text == nullptr)
    return 0;
  aNumber_Parse(text, aNumberLenient, base, uint64_t(INT32_MAX) + 1, &magnitude, &negative);
  if (negative)
    return magnitude > uint64_t(INT32_MAX) ? INT32_MIN : -static_cast<int32_t>(magnitude);
  return magnitude > uint64_t(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(magnitude);
}

uint32_t aNumber_LeadingU32(const char* text, int base) {
  uint64_t magnitude = 0;
  bool negative = false;
  if (text == nullptr)
    return 0;
  aNumber_Parse(text, aNumberLenient, base, UINT32_MAX, &magnitude, &negative);
  const uint32_t value = static_cast<uint32_t>(magnitude);
  return negative ? 0u - value : value;
}

double aNumber_LeadingDouble(const char* text) { return text ? strtod(text, nullptr) : 0.0; }
