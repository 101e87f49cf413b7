#include "LinkPacketLog.h"

#include <stdio.h>

#include "Link.h"
#include "aLink.h"
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

aErr LinkPacketLog::enable(const char* path) {
  const linkRef ref = link.getLinkRef();
  if (ref == 0)
    return aErrConfiguration;
  if (!path)
    return aErrParam;
  aErr result = aLink_PacketDebug_Enable(ref);
  if (result != aErrNone)
    return result;
  if (!logger)
    logger = aLogger_Create(ref, cbPacketLogReader, path);
  if (!logger)
    return aErrResource;
  result = aLogger_Enable(logger);
  if (result == aErrNone)
    aLink_PacketDebug_Write(ref, aPACKETLOG_NOTE, sizeof(kStartNote), reinterpret_cast<const uint8_t*>(kStartNote));
  return result;
}

aErr LinkPacketLog::disable() {
  const linkRef ref = link.getLinkRef();
  if (ref == 0)
    return aErrConfiguration;
  aLink_PacketDebug_Disable(ref);
  return logger ? aLogger_Disable(logger) : aErrNone;
}

void LinkPacketLog::release() {
  if (logger)
    aLogger_Destroy(&logger);
}

}  // namespace Kovalink
}  // namespace Tessoral
