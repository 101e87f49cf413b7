#include "aUEI.h"

#include <string.h>

#include "aBytes.h"

uint16_t aUEI_RetrieveShort(const uint8_t* bytes) { return aBytes_GetBE16(bytes); }

void aUEI_StoreShort(uint8_t* bytes, uint16_t value) { aBytes_PutBE16(bytes, value); }

uint32_t aUEI_RetrieveInt(const uint8_t* bytes) { return aBytes_GetBE32(bytes); }

void aUEI_StoreInt(uint8_t* bytes, uint32_t value) { aBytes_PutBE32(bytes, value); }

void aUEI_ModifyIntBuffer(uint8_t* buffer, size_t count) {
  for (size_t i = 0; i < count; i++) {
    uint32_t host = aUEI_RetrieveInt(buffer + 4 * i);
    memcpy(buffer + 4 * i, &host, 4);
  }
}
