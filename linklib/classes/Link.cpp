#include "Link.h"

#include <string.h>

#include "LinkConnect.h"
#include "LinkImpl.h"
#include "ModuleCommands.h"
#include "UEIMatch.h"
#include "aDiscovery.h"
#include "aTime.h"
#include "aBytes.h"

namespace Tessoral {
namespace Kovalink {

namespace {

const size_t kMaxNameLength = 1024;

bool sValidAddress(uint8_t address) { return address != 0 && (address & 1) == 0; }

// Accepts the reply to a UEI request and copies its value into the record.
bool sUEIFilter(const aPacket* packet, void* reference) {
  uei* record = static_cast<uei*>(reference);
  if (!record || !ueiReplyMatches(packet, *record))
    return false;
  if (ueiTakeErrorReply(packet, record))
    return true;
  switch (packet->dataSize) {
    case 3:
      record->type = ueiTypeNone;
      break;
    case 4:
      record->type = ueiTypeByte;
      record->value.byteValue = packet->data[3];
      break;
    case 5:
      record->type = ueiTypeShort;
      record->value.shortValue = aBytes_GetBE16(&packet->data[3]);
      break;
    case 7:
      record->type = ueiTypeInt;
      record->value.intValue = aBytes_GetBE32(&packet->data[3]);
      break;
    default:
      break;  // no value form of this length: the record keeps what it had
  }
  return true;
}

// Draining must test every queued packet against the same pattern, so each
// test works on a copy that the UEI filter may fill.
bool sUEIDrainFilter(const aPacket* packet, void* reference) {
  uei candidate = *static_cast<const uei*>(reference);
  return sUEIFilter(packet, &candidate);
}

struct CommandMatch {
  uint8_t address;
  const uint8_t* bytes;
  uint8_t length;
};

// Accepts a packet from the module asked whose data begins with the match
// bytes. Another module's packet on a shared link is never its reply, however
// alike the two look.
bool sCommandFilter(const aPacket* packet, void* reference) {
  const CommandMatch* match = static_cast<const CommandMatch*>(reference);
  if (!packet || packet->address != match->address || packet->dataSize < match->length)
    return false;
  return memcmp(packet->data, match->bytes, match->length) == 0;
}

// The answer to the address query is an empty frame from the module's address.
bool MatchMagic(const aPacket* packet, void*) { return packet && packet->dataSize == 0; }

struct ModelSearch {
  linkSpec* spec;
  bool found;
};

bool cbModelCallback(const linkSpec* found, bool* success, void* reference) {
  ModelSearch* search = static_cast<ModelSearch*>(reference);
  if (search->spec->model != 0 && found->model != search->spec->model)
    return true;
  *search->spec = *found;
  search->found = true;
  *success = true;
  return false;
}

}  // namespace

Link::Link(const char* name) : pImpl(new impl(*this)) {
  if (name)
    pImpl->name.assign(name, strnlen(name, kMaxNameLength));
}

Link::Link(const char* name, const linkSpec& spec) : Link(name) { pImpl->spec.reset(new linkSpec(spec)); }

Link::~Link() {
  pImpl->streams.stop();
  disablePacketLog();
  pImpl->packetLog.release();
  disconnect();
}

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model) {
  linkSpec* found = nullptr;
  if (serialNumber != 0) {
    found = aDiscovery_FindModule(type, serialNumber);
  } else {
    linkSpec wanted{};
    wanted.type = type;
    wanted.model = model;
    ModelSearch search{&wanted, false};
    if (aDiscovery_EnumerateModules(type, cbModelCallback, &search) > 0 && search.found)
      found = aLinkSpec_Copy(wanted);
  }
  if (!found)
    return aErrNotFound;
  // A link that is already open keeps the module it reaches.
  if (pImpl->ref == 0)
    pImpl->spec.reset(new linkSpec(*found));
  aLinkSpec_Destroy(&found);
  return connect();
}

aErr Link::connect() {
  bool opened = false;
  if (pImpl->ref == 0) {
    if (!pImpl->spec)
      return aErrConfiguration;
    const linkSpec& spec = *pImpl->spec;
    if (spec.type == linkTypeUSB)
      pImpl->ref = aLink_CreateUSB(spec.serialNumber);
    else if (spec.type == linkTypeTCPIP)
      pImpl->ref = aLink_CreateTCPIP(spec.address, static_cast<uint16_t>(spec.port));
    if (pImpl->ref == 0)
      return aErrConnection;
    opened = true;
  }
  linkRef ref = pImpl->ref;
  aErr result = awaitLinkRunning([ref]() { return static_cast<int>(aLink_GetStatus(ref)); });
  // A link this call opened and could not bring up is given back, so that a
  // later connection starts afresh instead of reusing a dead one.
  if (result != aErrNone && opened)
    disconnect();
  return result;
}

bool Link::isConnected() {
  if (pImpl->ref == 0)
    return false;
  aLinkStatus status = aLink_GetStatus(pImpl->ref);
  return status == aLinkStatusStarting || status == aLinkStatusRunning;
}

int Link::getStatus() {
  if (pImpl->ref == 0)
    return aLinkStatusFailed;
  return aLink_GetStatus(pImpl->ref);
}

uint32_t Link::getDropCount() { return pImpl->ref == 0 ? 0 : aLink_GetDropCount(pImpl->ref); }

aErr Link::disconnect() {
  if (pImpl->ref != 0) {
    // The filter refers to this link's streams; it goes before the engine link may.
    pImpl->streams.stop();
    disablePacketLog();
    pImpl->packetLog.release();
    aLink_Destroy(&pImpl->ref);
  }
  return aErrNone;
}

aErr Link::reset() {
  if (pImpl->ref != 0)
    aLink_Reset(pImpl->ref);
  return aErrNone;
}

aErr Link::getModuleAddress(uint8_t* address) {
  if (!address)
    return aErrParam;
  *address = 0;
  if (!isConnected())
    return aErrNotReady;
  aPacket* query = aPacket_CreateWithData(kMagicAddress, 0, nullptr);
  if (!query)
    return aErrResource;
  aErr put = aLink_PutPacket(pImpl->ref, query);
  aPacket_Destroy(&query);
  if (put != aErrNone)
    return put;
  aPacket* reply = aLink_AwaitFirst(pImpl->ref, MatchMagic, nullptr, kReplyTimeoutMS);
  if (!reply)
    return aErrNotReady;
  *address = reply->address;
  aPacket_Destroy(&reply);
  return aErrNone;
}

aErr Link::sendUEI(uei packet) { return sendUEIData(packet, nullptr); }

aErr Link::sendUEI(uei packet, uint8_t subindex) { return sendUEIData(packet, &subindex); }

aErr Link::sendUEIData(const uei& packet, const uint8_t* subindex) {
  if (!isConnected())
    return aErrConnection;
  if (!sValidAddress(packet.address))
    return aErrPacket;
  uint8_t data[aPACKET_MAX_DATA];
  uint8_t length = 0;
  data[length++] = packet.command;
  data[length++] = packet.option;
  data[length++] = packet.specifier;
  if (subindex)
    data[length++] = *subindex;
  switch (packet.type) {
    case ueiTypeNone:
      break;
    case ueiTypeByte:
      data[length++] = packet.value.byteValue;
      break;
    case ueiTypeShort:
      aBytes_PutBE16(&data[length], packet.value.shortValue);
      length += 2;
      break;
    case ueiTypeInt:
      aBytes_PutBE32(&data[length], packet.value.intValue);
      length += 4;
      break;
    default:
      return aErrParam;
  }
  return putPacket(packet.address, length, data);
}

aErr Link::putPacket(uint8_t address, uint8_t length, const uint8_t* data) {
  aPacket* packet = aPacket_CreateWithData(address, length, data);
  if (!packet)
    return aErrResource;
  aErr result = aLink_PutPacket(pImpl->ref, packet);
  aPacket_Destroy(&packet);
  return result;
}

aErr Link::receiveUEI(uint8_t address, uint8_t, uint8_t, uint8_t, uei* packet, linkPacketFilter filter) {
  if (!packet)
    return aErrParam;
  if (!isConnected())
    return aErrConnection;
  if (!sValidAddress(address))
    return aErrPacket;
  aPacket* reply = aLink_AwaitFirst(pImpl->ref, filter ? filter : sUEIFilter, packet, kReplyTimeoutMS);
  if (!reply)
    return aErrTimeout;
  aPacket_Destroy(&reply);
  return aErrNone;
}

aErr Link::dropMatchingUEIPackets(uint8_t address, uint8_t command, uint8_t option, uint8_t specifier) {
  if (!isConnected())
    return aErrConnection;
  if (!sValidAddress(address))
    return aErrPacket;
  uei pattern{};
  pattern.address = address;
  pattern.command = command;
  pattern.option = option;
  pattern.specifier = specifier;
  aLink_DrainPackets(pImpl->ref, sUEIDrainFilter, &pattern);
  return aErrNone;
}

aErr Link::sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* payload) {
  if (!isConnected())
    return aErrConnection;
  if (length > aPACKET_MAX_DATA - 1 || (length > 0 && !payload))
    return aErrParam;
  if (!sValidAddress(address))
    return aErrPacket;
  uint8_t data[aPACKET_MAX_DATA];
  data[0] = command;
  if (length > 0)
    memcpy(&data[1], payload, length);
  return putPacket(address, static_cast<uint8_t>(length + 1), data);
}

aErr Link::receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* out) {
  if (!length || !out || (*length > 0 && !match) || *length > aPACKET_MAX_DATA)
    return aErrParam;
  if (!isConnected())
    return aErrConnection;
  if (!sValidAddress(address))
    return aErrPacket;
  CommandMatch wanted{address, match, *length};
  aPacket* reply = aLink_AwaitFirst(pImpl->ref, sCommandFilter, &wanted, kReplyTimeoutMS);
  if (!reply)
    return aErrTimeout;
  *length = reply->dataSize;
  memcpy(out, reply->data, reply->dataSize);
  aPacket_Destroy(&reply);
  return aErrNone;
}

const char* Link::getName() const { return pImpl->name.c_str(); }

aErr Link::getLinkSpecifier(linkSpec* spec) const {
  if (!spec)
    return aErrParam;
  if (!pImpl->spec)
    return aErrNotFound;
  *spec = *pImpl->spec;
  return aErrNone;
}

aErr Link::setLinkSpecifier(const linkSpec& spec) {
  // The specifier describes the open engine link; it changes only once that is released.
  if (pImpl->ref != 0)
    return aErrBusy;
  pImpl->spec.reset(new linkSpec(spec));
  return aErrNone;
}

uint32_t Link::getLinkRef() const { return pImpl->ref; }

}  // namespace Kovalink
}  // namespace Tessoral
