#include "Log.h"

#include <cstdarg>
#include <cstring>
#include <unistd.h>

FILE* Log::fh = nullptr;
uint32_t Log::package_bitmask = 0;

bool Log::IsActive(unsigned package) { return package == 0 || (package & package_bitmask) != 0; }

void Log::log(unsigned package, const char* format, ...) {
  if (!IsActive(package) || !fh)
    return;
  char text[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  // One write per call so lines from the download worker do not interleave.
  fwrite(text, 1, strlen(text), fh);
}

void Log::SetOutput(FILE* stream) { fh = stream; }
void Log::ActivatePackage(uint32_t mask) { package_bitmask |= mask; }
void Log::DeactivatePackage(uint32_t mask) { package_bitmask &= ~mask; }
