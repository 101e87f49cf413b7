// Big-endian helpers for multi-byte values inside packet data.
#pragma once
#include <stddef.h>
#include <stdint.h>

uint16_t aUEI_RetrieveShort(const uint8_t* bytes);
void aUEI_StoreShort(uint8_t* bytes, uint16_t value);
uint32_t aUEI_RetrieveInt(const uint8_t* bytes);
void aUEI_StoreInt(uint8_t* bytes, uint32_t value);
// Converts `count` consecutive 32-bit words in place from big-endian to host order.
void aUEI_ModifyIntBuffer(uint8_t* buffer, size_t count);
