#include "image/BuildNumber.h"

#include <cerrno>
#include <cstdlib>

namespace BuildNumber {

bool FromText(const std::string& text, uint32_t& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  errno = 0;
  unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
  if (errno != 0 || parsed > UINT32_MAX)
    return false;
  value = static_cast<uint32_t>(parsed);
  return true;
}

bool FromServerLine(const std::string& text, uint32_t& value) {
  size_t end = text.find_last_not_of(" \t\r");
  return end != std::string::npos && FromText(text.substr(0, end + 1), value);
}

}  // namespace BuildNumber
