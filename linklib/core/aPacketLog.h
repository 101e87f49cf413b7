// The debug ring of a link's packet log: records of kind, length and bytes.
#pragma once
#include <stdint.h>

#include "aError.h"

// Record kinds.
#define aPACKETLOG_SENT 1
#define aPACKETLOG_RECEIVED 2
#define aPACKETLOG_NOTE 3

#define aPACKETLOG_DEFAULT_SIZE 65536
#define aPACKETLOG_MAX_SIZE 0x4000000

typedef struct aPacketLog aPacketLog;

// Not thread safe: the link serialises access with its log mutex.
aPacketLog* aPacketLog_Create(uint32_t size);
void aPacketLog_Destroy(aPacketLog** log);
// Drops the oldest records to make room; aErrOverrun when the record can never fit.
aErr aPacketLog_Record(aPacketLog* log, uint8_t kind, uint8_t length, const uint8_t* bytes);
// Takes the oldest record. On entry *length is the buffer capacity, on return
// the record's length. aErrNotFound when empty; aErrOverrun (record kept)
// when the buffer is too small.
aErr aPacketLog_Take(aPacketLog* log, uint8_t* kind, uint32_t* length, uint8_t* buffer);
void aPacketLog_SetEnabled(aPacketLog* log, bool enabled);
bool aPacketLog_IsEnabled(const aPacketLog* log);
