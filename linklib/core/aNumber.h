// Numbers written as text, the one parser of the program, in two modes.
// Strict: the whole text must be the number, so "12x", "", " 12", "-1", "+1"
// and values past the limit are refused instead of read as something else.
// Lenient: the number the text begins with, the rest ignored, for values
// that have always been read that way (settings, the environment).
#pragma once
#include <stdint.h>

#include "aError.h"

typedef enum {
  // Only the digits of the base: no blanks, sign or "0x" prefix (a caller
  // that allows a prefix strips it first).
  aNumberStrict = 0,
  // As the C library's strtol reads it: blanks, a sign, "0x" in base 16, then
  // as many digits as follow ("1310.bird" is 1310).
  aNumberLenient = 1
} aNumberMode;

// Reads an unsigned magnitude of at most `limit` in `base` (10 or 16), and in
// the lenient mode whether a minus sign came before it (`negative` may be
// null). aErrParam for a null text or magnitude or another base.
// Strict: aErrParse for text that is not a number in the base, aErrRange for
// one above the limit; nothing is written unless the result is aErrNone.
// Lenient: always writes; no digits give 0 and aErrParse, a magnitude above
// the limit gives the limit and aErrRange.
aErr aNumber_Parse(const char* text, aNumberMode mode, int base, uint64_t limit, uint64_t* magnitude,
                   bool* negative);

// Strict readers of the whole text.
aErr aNumber_ParseU32(const char* text, int base, uint32_t* value);
aErr aNumber_ParseU64(const char* text, int base, uint64_t* value);

// Lenient readers, the C library's way: text without a number is 0.
// A signed value as atoi reads it, held to the 32-bit range.
int32_t aNumber_LeadingI32(const char* text, int base);
// An unsigned value as strtoul reads it: held to 32 bits, a negative one
// wrapped to its 32-bit pattern.
uint32_t aNumber_LeadingU32(const char* text, int base);
// A floating-point value as strtod reads it.
double aNumber_LeadingDouble(const char* text);
