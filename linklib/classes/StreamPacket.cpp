#include "StreamPacket.h"

#include "UEI.h"
#include "aBytes.h"

namespace Tessoral {
namespace Kovalink {

namespace {

// Stream packets never carry this command (it is the slot protocol's close).
const uint8_t kNeverStreamed = 8;
const size_t kTimestampBytes = 8;

size_t sSampleLength(Link::STREAM_PACKET type) {
  switch (type) {
    case Link::STREAM_PACKET_U8: return 14;
    case Link::STREAM_PACKET_U16: return 15;
    case Link::STREAM_PACKET_U8_SUBINDEX: return 15;
    case Link::STREAM_PACKET_U16_SUBINDEX: return 16;
    case Link::STREAM_PACKET_U32: return 17;
    case Link::STREAM_PACKET_U32_SUBINDEX: return 18;
    default: return 0;
  }
}

uint32_t sValue(Link::STREAM_PACKET type, const uint8_t* bytes) {
  switch (type) {
    case Link::STREAM_PACKET_U8:
    case Link::STREAM_PACKET_U8_SUBINDEX: return bytes[0];
    case Link::STREAM_PACKET_U16:
    case Link::STREAM_PACKET_U16_SUBINDEX: return aBytes_GetBE16(bytes);
    default: return aBytes_GetBE32(bytes);
  }
}

}  // namespace

bool StreamPacket::isStream(const aPacket* packet) {
  return packet && packet->dataSize > 4 && packet->data[0] != kNeverStreamed &&
         (packet->data[1] & (ueiOPTION_GET | ueiOPTION_SET)) == 0 && (packet->data[2] & ueiSPECIFIER_STREAM) != 0;
}

bool StreamPacket::type(const aPacket* packet, Link::STREAM_PACKET* type) {
  Link::STREAM_PACKET found = Link::STREAM_PACKET_NONE;
  if (isStream(packet)) {
    if (packet->data[packet->dataSize - 1] != 0)
      found = Link::STREAM_PACKET_BYTES;
    else if (packet->data[3] >= Link::STREAM_PACKET_U8 && packet->data[3] <= Link::STREAM_PACKET_U32_SUBINDEX)
      found = static_cast<Link::STREAM_PACKET>(packet->data[3]);
  }
  if (type)
    *type = found;
  return found != Link::STREAM_PACKET_NONE;
}

bool StreamPacket::isSubindexType(Link::STREAM_PACKET type) {
  return type == Link::STREAM_PACKET_U8_SUBINDEX || type == Link::STREAM_PACKET_U16_SUBINDEX ||
         type == Link::STREAM_PACKET_U32_SUBINDEX;
}

bool StreamPacket::isSample(const aPacket* packet) {
  Link::STREAM_PACKET found = Link::STREAM_PACKET_NONE;
  return type(packet, &found) && found != Link::STREAM_PACKET_BYTES && packet->data[packet->dataSize - 1] == 0 &&
         packet->dataSize == sSampleLength(found);
}

aErr StreamPacket::sample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex) {
  Link::STREAM_PACKET found = Link::STREAM_PACKET_NONE;
  if (!type(packet, &found))
    return aErrPacket;
  if (found == Link::STREAM_PACKET_BYTES)
    return aErrSize;
  if (!isSample(packet))
    return aErrPacket;
  const size_t at = isSubindexType(found) ? 5 : 4;
  if (timestamp)
    *timestamp = static_cast<uint64_t>(aBytes_GetBE32(&packet->data[at])) << 32 | aBytes_GetBE32(&packet->data[at + 4]);
  if (value)
    *value = sValue(found, &packet->data[at + kTimestampBytes]);
  if (subindex)
    *subindex = isSubindexType(found) ? packet->data[4] : 0;
  return aErrNone;
}

void StreamPacket::timestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low) {
  if (high)
    *high = static_cast<uint32_t>(timestamp >> 32);
  if (low)
    *low = static_cast<uint32_t>(timestamp);
}

}  // namespace Kovalink
}  // namespace Tessoral
