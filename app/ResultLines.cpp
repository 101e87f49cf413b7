#include "ResultLines.h"

#include <cstdio>
#include <cstring>

std::atomic<int> ResultLines::depth_{0};

bool ResultLines::IsResult(const char* text) {
  if (Active())
    return true;
  // "Module 0000BEEF now runs 1.4.2 (build 1420)", "Stored build 1420 in PATH".
  unsigned serial = 0;
  char rest[16] = "";
  if (sscanf(text, "Module %8X now %15s", &serial, rest) == 2 && strcmp(rest, "runs") == 0)
    return true;
  return strncmp(text, "Stored build ", 13) == 0;
}
