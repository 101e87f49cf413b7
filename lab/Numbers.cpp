#include "Numbers.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace lab {

bool ParseNumber(const std::string& text, int base, uint64_t limit, uint64_t& value) {
  std::string digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits = digits.substr(2);
    base = 16;
  }
  if (base == 0)
    base = 10;
  if (digits.empty())
    return false;
  uint64_t parsed = 0;
  for (char c : digits) {
    int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                : std::isxdigit(static_cast<unsigned char>(c)) ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                                                                : base;
    if (digit >= base || static_cast<uint64_t>(digit) > limit ||
        parsed > (limit - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base))
      return false;
    parsed = parsed * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  value = parsed;
  return true;
}

bool ParseNumber(const std::string& text, int base, uint32_t& value) {
  uint64_t parsed = 0;
  if (!ParseNumber(text, base, 0xFFFFFFFFu, parsed))
    return false;
  value = static_cast<uint32_t>(parsed);
  return true;
}

bool ParseWords(const std::string& text, uint32_t words[4]) {
  std::stringstream parts(text);
  std::string part;
  int i = 0;
  uint32_t parsed[4];
  while (std::getline(parts, part, ':')) {
    if (i >= 4 || !ParseNumber(part, 16, parsed[i]))
      return false;
    ++i;
  }
  if (i != 4 || text.back() == ':')
    return false;
  std::copy(parsed, parsed + 4, words);
  return true;
}

}  // namespace lab
