// Number parsing for the lab: every option, config word, query parameter and
// protocol number the lab reads goes through these.
#pragma once
#include <cstdint>
#include <string>

namespace lab {

// A number in `base` (0: decimal, or hexadecimal after "0x"; a "0x" prefix
// always means hexadecimal), at most `limit`; digits only: no sign, no blanks,
// nothing after it.
bool ParseNumber(const std::string& text, int base, uint64_t limit, uint64_t& value);
// The same for a 32-bit value; `value` is left alone on failure.
bool ParseNumber(const std::string& text, int base, uint32_t& value);
// Four hexadecimal words separated by colons ("W0:W1:W2:W3"); `words` is
// left alone unless all four parse.
bool ParseWords(const std::string& text, uint32_t words[4]);

}  // namespace lab
