// One link packet: address, data length 0..28 and data, assembled byte by byte.
#pragma once
#include <stdint.h>
#include "aError.h"

#define aPACKET_MAX_DATA 28
#define aPACKET_MAX_FRAME (aPACKET_MAX_DATA + 2)
#define aPACKET_VALID 0xBEEF

typedef struct aPacket {
  uint16_t check;  // validity marker, aPACKET_VALID while alive
  uint8_t received;
  uint8_t address;
  uint8_t dataSize;
  uint8_t data[aPACKET_MAX_DATA];
} aPacket;

aPacket* aPacket_Create(void);
// `length` must be at most 28; a longer length yields no packet.
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);
aPacket* aPacket_Copy(const aPacket* packet);
aErr aPacket_Reset(aPacket* packet);
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
bool aPacket_IsComplete(const aPacket* packet);
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);
aErr aPacket_Destroy(aPacket** packet);
bool aPacket_IsValid(const aPacket* packet);
