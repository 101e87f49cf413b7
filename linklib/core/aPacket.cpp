#include "aPacket.h"

#include <new>
#include <string.h>

bool aPacket_IsValid(const aPacket* packet) { return packet && packet->check == aPACKET_VALID; }

aPacket* aPacket_Create(void) {
  aPacket* packet = new (std::nothrow) aPacket;
  if (!packet)
    return nullptr;
  memset(packet, 0, sizeof(*packet));
  packet->check = aPACKET_VALID;
  return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
  // A longer length would overflow the data array; refuse it.
  if (length > aPACKET_MAX_DATA || (length && !data))
    return nullptr;
  aPacket* packet = aPacket_Create();
  if (!packet)
    return nullptr;
  packet->address = address;
  packet->dataSize = length;
  if (length)
    memcpy(packet->data, data, length);
  packet->received = static_cast<uint8_t>(length + 2);
  return packet;
}

aPacket* aPacket_Copy(const aPacket* packet) {
  if (!aPacket_IsValid(packet) || packet->dataSize > aPACKET_MAX_DATA)
    return nullptr;
  return aPacket_CreateWithData(packet->address, packet->dataSize, packet->data);
}

aErr aPacket_Reset(aPacket* packet) {
  if (!aPacket_IsValid(packet))
    return aErrParam;
  packet->received = 0;
  packet->address = 0;
  packet->dataSize = 0;
  memset(packet->data, 0, sizeof(packet->data));
  return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
  if (!aPacket_IsValid(packet))
    return aErrParam;
  if (packet->received < 255)
    packet->received++;
  if (packet->received > aPACKET_MAX_FRAME)
    return aErrOverrun;
  if (packet->address == 0) {
    if (byte == 0 || (byte & 1))
      return aErrPacket;
    packet->address = byte;
    return aErrNone;
  }
  if (packet->dataSize == 0) {
    packet->dataSize = byte;
    return byte <= aPACKET_MAX_DATA ? aErrNone : aErrPacket;
  }
  if (packet->received > packet->dataSize + 2)
    return aErrPacket;
  packet->data[packet->received - 3] = byte;
  return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
  return aPacket_IsValid(packet) && packet->received == packet->dataSize + 2;
}

static aErr sGetDataByte(const aPacket* packet, uint8_t* out, int position, uint8_t mask) {
  if (!out)
    return aErrParam;
  if (!aPacket_IsValid(packet) || packet->dataSize <= position)
    return aErrPacket;
  *out = packet->data[position] & mask;
  return aErrNone;
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd) { return sGetDataByte(packet, cmd, 0, 0xFF); }
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) { return sGetDataByte(packet, option, 1, 0x3F); }
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) { return sGetDataByte(packet, index, 2, 0x1F); }

aErr aPacket_Destroy(aPacket** packet) {
  if (!packet || !aPacket_IsValid(*packet))
    return aErrParam;
  (*packet)->check = 0;
  delete *packet;
  *packet = nullptr;
  return aErrNone;
}
