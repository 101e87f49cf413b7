// Checked parsing of unsigned numbers written as text, the one parser of the
// updater: the whole text must be the number, so "12x", "", " 12", "-1", "+1"
// and values past the type's range are refused instead of read as something
// else.
#pragma once
#include <stdint.h>

#include "aError.h"

// `base` is 10 or 16. No sign, blanks or "0x" prefix are accepted (a caller
// that allows a prefix strips it first). aErrParse for text that is not a
// number in the base, aErrRange for one that does not fit, aErrParam for a
// null argument or another base; `value` is written only on success.
aErr aNumber_ParseU32(const char* text, int base, uint32_t* value);
aErr aNumber_ParseU64(const char* text, int base, uint64_t* value);
