#include "Environment.h"

#include <cstdlib>

#include "Log.h"
#include "aNumber.h"

uint32_t Environment::Seconds(const char* name, uint32_t fallback) {
  const char* text = std::getenv(name);
  if (!text || !*text)
    return fallback;
  uint32_t seconds = 0;
  if (aNumber_ParseU32(text, 10, &seconds) != aErrNone || seconds == 0) {
    Log::log(DEBUG_Updater, "Ignoring %s=%s: not a number of seconds above 0; using %u\n", name, text, fallback);
    return fallback;
  }
  return seconds;
}
