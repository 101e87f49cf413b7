// One UEI exchange: a small get, set or call addressed to one entity of a module.
#pragma once
#include <stddef.h>
#include <stdint.h>

namespace Tessoral {
namespace Kovalink {

// Which value form a `uei` record carries.
typedef enum {
  ueiTypeNone = 0,
  ueiTypeByte = 1,
  ueiTypeShort = 2,
  ueiTypeInt = 4,
} ueiType;

// Request option bits: 0x40 marks a get, 0x80 a set or call.
#define ueiOPTION_GET 0x40
#define ueiOPTION_SET 0x80
// A set or call reply carries the option code OR 0xC0.
#define ueiOPTION_SET_REPLY 0xC0
#define ueiOPTION_MASK 0x3F
// Specifier: entity index in the low 5 bits; bit 5 in every request,
// bit 6 in stream samples, bit 7 in error replies.
#define ueiSPECIFIER_INDEX_MASK 0x1F
#define ueiSPECIFIER_REQUEST 0x20
#define ueiSPECIFIER_STREAM 0x40
#define ueiSPECIFIER_ERROR 0x80
// Byte-array reads: bit 7 of a sequence byte says more replies follow.
#define ueiSEQUENCE_CONTINUE 0x80
#define ueiSEQUENCE_MASK 0x7F

typedef struct uei {
  uint8_t address;
  uint8_t command;
  uint8_t option;
  uint8_t specifier;
  union {
    uint8_t byteValue;
    uint16_t shortValue;
    uint32_t intValue;
    uint8_t* buffer;  // byte-array reads: next free byte of the caller's buffer
  } value;
  uint8_t sequence;   // byte-array reads: last sequence byte received
  size_t capacity;    // byte-array reads: capacity of the caller's buffer
  size_t* received;   // byte-array reads: running count of bytes stored
  ueiType type;
} uei;

}  // namespace Kovalink
}  // namespace Tessoral
