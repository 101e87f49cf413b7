#include "image/BuildNumber.h"

#include "aNumber.h"

namespace BuildNumber {

bool FromText(const std::string& text, uint32_t& value) {
  // A NUL inside the text would hide what follows it from the parser.
  return text.find('\0') == std::string::npos && aNumber_ParseU32(text.c_str(), 10, &value) == aErrNone;
}

bool FromServerLine(const std::string& text, uint32_t& value) {
  size_t end = text.find_last_not_of(" \t\r");
  return end != std::string::npos && FromText(text.substr(0, end + 1), value);
}

}  // namespace BuildNumber
