#include "UserNotice.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "UpdaterDisplayInterface.h"

namespace {
std::mutex sLock;
UpdaterDisplayInterface* sDisplay = nullptr;
}  // namespace

UpdaterDisplayInterface* UserNotice::SetDisplay(UpdaterDisplayInterface* display) {
  std::lock_guard<std::mutex> hold(sLock);
  UpdaterDisplayInterface* before = sDisplay;
  sDisplay = display;
  return before;
}

void UserNotice::error(const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  // Link threads report too: one at a time, so lines never interleave.
  std::lock_guard<std::mutex> hold(sLock);
  if (sDisplay) {
    sDisplay->message(UpdaterDisplayInterface::Error, "%s", text);
    return;
  }
  fprintf(stderr, "%s\n", text);
  fflush(stderr);
}
