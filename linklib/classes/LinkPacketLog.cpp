// The packet log of a link: the engine's debug ring drained into a text file.
#include <stdio.h>

#include "LinkImpl.h"
#include "aFile.h"
#include "aLogger.h"
#include "aPacketLog.h"

namespace Tessoral {
namespace Kovalink {

namespace {

// Bounds the reader's sleep when no record comes; disabling the log wakes it sooner.
const unsigned long kIdleWaitMS = 50;
const char kStartNote[] = "START";

// Runs on the logger's thread: one record per call, written in one piece (the
// file is unbuffered), or a wait for the next record when none is there.
void cbPacketLogReader(aFileRef file, uint32_t reference) {
  uint8_t kind = 0;
  uint8_t bytes[256];
  uint32_t length = sizeof(bytes);
  if (aLink_PacketDebug_Read(reference, &kind, &length, bytes) != aErrNone) {
    aLink_PacketDebug_Await(reference, kIdleWaitMS);
    return;
  }
  char line[16 + 5 * sizeof(bytes)];
  int used = snprintf(line, sizeof(line), "%d %s ", static_cast<int>(length), kind == aPACKETLOG_SENT ? ">" : "<");
  for (uint32_t i = 0; i < length; ++i) {
    if (kind == aPACKETLOG_NOTE)
      used += snprintf(line + used, sizeof(line) - used, "%c", bytes[i]);
    else
      used += snprintf(line + used, sizeof(line) - used, "0x%X ", bytes[i]);
  }
  used += snprintf(line + used, sizeof(line) - used, "\r\n");
  aFile_Write(file, reinterpret_cast<const uint8_t*>(line), static_cast<size_t>(used), nullptr);
}

}  // namespace

int Link::enablePacketLog(const char* path) {
  if (pImpl->ref == 0)
    return aErrConfiguration;
  if (!path)
    return aErrParam;
  int result = aLink_PacketDebug_Enable(pImpl->ref);
  if (result != aErrNone)
    return result;
  if (!pImpl->logger)
    pImpl->logger = aLogger_Create(pImpl->ref, cbPacketLogReader, path);
  if (!pImpl->logger)
    return aErrResource;
  result = aLogger_Enable(pImpl->logger);
  if (result == aErrNone)
    aLink_PacketDebug_Write(pImpl->ref, aPACKETLOG_NOTE, sizeof(kStartNote),
                            reinterpret_cast<const uint8_t*>(kStartNote));
  return result;
}

int Link::disablePacketLog() {
  if (pImpl->ref == 0)
    return aErrConfiguration;
  aLink_PacketDebug_Disable(pImpl->ref);
  return pImpl->logger ? aLogger_Disable(pImpl->logger) : aErrNone;
}

void Link::releaseLogger() {
  if (pImpl->logger)
    aLogger_Destroy(&pImpl->logger);
}

}  // namespace Kovalink
}  // namespace Tessoral
