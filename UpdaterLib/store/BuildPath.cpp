#include "store/BuildPath.h"

#include <cstdarg>

#include "aDirectory.h"

std::string BuildPath(const char* first, ...) {
  std::string path = first ? first : "";
  if (!first)
    return path;
  va_list args;
  va_start(args, first);
  for (const char* component = va_arg(args, const char*); component; component = va_arg(args, const char*)) {
    path += aDIR_PATH_SEP;
    path += component;
  }
  va_end(args);
  return path;
}
