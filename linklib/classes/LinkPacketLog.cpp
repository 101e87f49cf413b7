// The packet log of a link: the engine's debug ring drained into a text file.
#include "LinkImpl.h"
#include "aFile.h"
#include "aLogger.h"
#include "aPacketLog.h"
#include "aTime.h"

namespace Tessoral {
namespace Kovalink {

namespace {

const unsigned long kIdlePauseMS = 5;
const char kStartNote[] = "START";

// Runs on the logger's thread: one record per call, or a short pause when none waits.
void cbPacketLogReader(aFileRef file, uint32_t reference) {
  uint8_t kind = 0;
  uint8_t bytes[256];
  uint32_t length = sizeof(bytes);
  if (aLink_PacketDebug_Read(reference, &kind, &length, bytes) != aErrNone) {
    aTime_MSSleep(kIdlePauseMS);
    return;
  }
  aFile_Printf(file, "%d %s ", static_cast<int>(length), kind == aPACKETLOG_SENT ? ">" : "<");
  for (uint32_t i = 0; i < length; ++i) {
    if (kind == aPACKETLOG_NOTE)
      aFile_Printf(file, "%c", bytes[i]);
    else
      aFile_Printf(file, "0x%X ", bytes[i]);
  }
  aFile_Printf(file, "\r\n");
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
