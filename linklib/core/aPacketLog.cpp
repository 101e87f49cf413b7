#include "aPacketLog.h"

#include <new>
#include <stdlib.h>
#include <string.h>

struct aPacketLog {
  uint8_t enabled;
  uint8_t* ring;
  uint32_t size;
  uint32_t readIndex;
  uint32_t writeIndex;
};

aPacketLog* aPacketLog_Create(uint32_t size) {
  if (size == 0 || size > aPACKETLOG_MAX_SIZE)
    return nullptr;
  aPacketLog* log = new (std::nothrow) aPacketLog;
  if (!log)
    return nullptr;
  log->ring = static_cast<uint8_t*>(calloc(size, 1));
  if (!log->ring) {
    delete log;
    return nullptr;
  }
  log->enabled = 0;
  log->size = size;
  log->readIndex = 0;
  log->writeIndex = 0;
  return log;
}

void aPacketLog_Destroy(aPacketLog** log) {
  if (!log || !*log)
    return;
  free((*log)->ring);
  delete *log;
  *log = nullptr;
}

void aPacketLog_SetEnabled(aPacketLog* log, bool enabled) {
  if (log)
    log->enabled = enabled ? 1 : 0;
}

bool aPacketLog_IsEnabled(const aPacketLog* log) { return log && log->enabled; }

static uint32_t sUsed(const aPacketLog* log) {
  return static_cast<uint32_t>((static_cast<uint64_t>(log->writeIndex) + log->size - log->readIndex) % log->size);
}

static uint8_t sByteAt(const aPacketLog* log, uint32_t offset) {
  return log->ring[(static_cast<uint64_t>(log->readIndex) + offset) % log->size];
}

static void sDropOldest(aPacketLog* log) {
  uint32_t length = sByteAt(log, 1);
  log->readIndex = static_cast<uint32_t>((static_cast<uint64_t>(log->readIndex) + 2 + length) % log->size);
}

aErr aPacketLog_Record(aPacketLog* log, uint8_t kind, uint8_t length, const uint8_t* bytes) {
  if (!log || (!bytes && length))
    return aErrParam;
  uint32_t need = static_cast<uint32_t>(length) + 2;
  // Free space is kept above the record size so that a full ring never looks empty.
  while (need < log->size && log->size - sUsed(log) <= need)
    sDropOldest(log);
  if (log->size - sUsed(log) <= need)
    return aErrOverrun;
  uint32_t w = log->writeIndex;
  log->ring[w] = kind;
  log->ring[(w + 1) % log->size] = length;
  for (uint32_t i = 0; i < length; i++)
    log->ring[(static_cast<uint64_t>(w) + 2 + i) % log->size] = bytes[i];
  log->writeIndex = static_cast<uint32_t>((static_cast<uint64_t>(w) + need) % log->size);
  return aErrNone;
}

aErr aPacketLog_Take(aPacketLog* log, uint8_t* kind, uint32_t* length, uint8_t* buffer) {
  if (!log || !kind || !length)
    return aErrParam;
  if (log->readIndex == log->writeIndex)
    return aErrNotFound;
  uint32_t n = sByteAt(log, 1);
  uint32_t capacity = *length;
  *length = n;
  if (capacity < n || (!buffer && n))
    return aErrOverrun;
  *kind = sByteAt(log, 0);
  for (uint32_t i = 0; i < n; i++)
    buffer[i] = sByteAt(log, 2 + i);
  sDropOldest(log);
  return aErrNone;
}
