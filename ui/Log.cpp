#include "Log.h"

#include <sys/time.h>

#include <cstdarg>
#include <cstring>
#include <ctime>
#include <mutex>
#include <unistd.h>

FILE* Log::fh = nullptr;
uint32_t Log::package_bitmask = 0;

namespace {
thread_local uint32_t tModule = 0;
bool sStamped = false;
bool sModuleThreadsQuiet = false;
std::mutex sStampLock;
bool sAtLineStart = true;  // under sStampLock

// Each line of `text` behind the stamp; a text may hold several lines, or end
// within one that a later call finishes.
std::string Stamped(const char* text) {
  char serial[12] = "--------";
  if (tModule != 0)
    snprintf(serial, sizeof(serial), "%08X", tModule);
  const std::string stamp = Log::UtcStamp() + " " + serial + " ";
  std::string out;
  for (const char* p = text; *p; p++) {
    if (sAtLineStart && *p != '\n')
      out += stamp;
    out += *p;
    sAtLineStart = *p == '\n';
  }
  return out;
}
}  // namespace

bool Log::IsActive(unsigned package) { return package == 0 || (package & package_bitmask) != 0; }

void Log::log(unsigned package, const char* format, ...) {
  if (!IsActive(package) || !fh)
    return;
  if (package == 0 && sModuleThreadsQuiet && tModule != 0 && !sStamped)
    return;
  char text[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  if (!sStamped) {
    // One write per call so lines from the download worker do not interleave.
    fwrite(text, 1, strlen(text), fh);
    return;
  }
  std::lock_guard<std::mutex> hold(sStampLock);
  const std::string line = Stamped(text);
  fwrite(line.data(), 1, line.size(), fh);
}

void Log::SetOutput(FILE* stream) { fh = stream; }
void Log::ActivatePackage(uint32_t mask) { package_bitmask |= mask; }
void Log::DeactivatePackage(uint32_t mask) { package_bitmask &= ~mask; }
void Log::SetStamped(bool stamped) { sStamped = stamped; }
void Log::SetModuleThreadsQuiet(bool quiet) { sModuleThreadsQuiet = quiet; }

Log::ModuleScope::ModuleScope(uint32_t serialNumber) : before_(tModule) { tModule = serialNumber; }
Log::ModuleScope::~ModuleScope() { tModule = before_; }
uint32_t Log::ThreadModule() { return tModule; }

std::string Log::UtcStamp() {
  struct timeval now;
  gettimeofday(&now, nullptr);
  struct tm utc;
  gmtime_r(&now.tv_sec, &utc);
  char text[40];
  size_t n = strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
  snprintf(text + n, sizeof(text) - n, ".%03dZ", static_cast<int>(now.tv_usec / 1000));
  return text;
}
