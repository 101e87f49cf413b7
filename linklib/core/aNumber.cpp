#include "aNumber.h"

#include <stddef.h>

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

}  // namespace

aErr aNumber_ParseU64(const char* text, int base, uint64_t* value) {
  if (text == nullptr || value == nullptr || (base != 10 && base != 16))
    return aErrParam;
  if (*text == '\0')
    return aErrParse;
  uint64_t result = 0;
  const uint64_t b = static_cast<uint64_t>(base);
  for (const char* p = text; *p != '\0'; ++p) {
    int d = sDigit(*p, base);
    if (d < 0)
      return aErrParse;
    if (result > (UINT64_MAX - static_cast<uint64_t>(d)) / b)
      return aErrRange;
    result = result * b + static_cast<uint64_t>(d);
  }
  *value = result;
  return aErrNone;
}

aErr aNumber_ParseU32(const char* text, int base, uint32_t* value) {
  if (value == nullptr)
    return aErrParam;
  uint64_t wide = 0;
  aErr err = aNumber_ParseU64(text, base, &wide);
  if (err != aErrNone)
    return err;
  if (wide > UINT32_MAX)
    return aErrRange;
  *value = static_cast<uint32_t>(wide);
  return aErrNone;
}
