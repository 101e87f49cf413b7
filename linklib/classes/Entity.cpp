#include "Entity.h"

#include <stdint.h>
#include <string.h>

#include "Link.h"
#include "Module.h"
#include "ModuleCommands.h"
#include "UEIMatch.h"
#include "aError.h"
#include "aPacket.h"
#include "aUEI.h"

namespace Tessoral {
namespace Kovalink {

struct EntityClass::impl {
  explicit impl(EntityClass& owner_) : owner(owner_) {}
  EntityClass& owner;
  Module* module = nullptr;
  uint8_t command = 0;
  uint8_t index = 0;

  Link* link() const { return module ? module->getLink() : nullptr; }
  uint8_t address() const { return module->getModuleAddress(); }
};

namespace {

bool sIsErrorReply(const uei& reply) { return (reply.specifier & ueiSPECIFIER_ERROR) != 0; }

// Widens whatever value form the reply carried; a reply without a value is
// not a reading.
aErr sReplyValue(const uei& reply, uint32_t* value) {
  switch (reply.type) {
    case ueiTypeByte:
      *value = reply.value.byteValue;
      return aErrNone;
    case ueiTypeShort:
      *value = reply.value.shortValue;
      return aErrNone;
    case ueiTypeInt:
      *value = reply.value.intValue;
      return aErrNone;
    default:
      return aErrSize;
  }
}

void sMarkError(uei* record, uint8_t code) {
  record->specifier |= ueiSPECIFIER_ERROR;
  record->value.byteValue = code;
}

// Accepts the next reply of a byte-array read and appends its payload: data
// bytes after the specifier up to the last byte, which is the sequence byte.
bool sBytesFilter(const aPacket* packet, void* reference) {
  uei* record = static_cast<uei*>(reference);
  if (!ueiReplyMatches(packet, *record))
    return false;
  if (ueiTakeErrorReply(packet, record))
    return true;
  // Too short to hold a sequence byte: malformed, it ends the read.
  if (packet->dataSize < 4) {
    sMarkError(record, aErrSize);
    return true;
  }
  const uint8_t sequence = packet->data[packet->dataSize - 1];
  if ((sequence & ueiSEQUENCE_MASK) != (record->sequence & ueiSEQUENCE_MASK))
    return false;
  const size_t payload = packet->dataSize - 4u;
  if (*record->received + payload > record->capacity) {
    sMarkError(record, aErrMemory);
    return true;
  }
  memcpy(record->value.buffer, &packet->data[3], payload);
  record->value.buffer += payload;
  *record->received += payload;
  record->sequence = sequence;
  return true;
}

}  // namespace

EntityClass::EntityClass() : pImpl(new impl(*this)) {}

EntityClass::~EntityClass() {}

void EntityClass::init(Module* module, uint8_t command, uint8_t index) {
  pImpl->module = module;
  pImpl->command = command;
  pImpl->index = index;
}

uint8_t EntityClass::getIndex() const { return pImpl->index; }

Module* EntityClass::getModule() const { return pImpl->module; }

aErr EntityClass::getUEI(uint8_t option, uei* packet) {
  if (!packet)
    return aErrParam;
  Link* link = pImpl->link();
  if (!link)
    return aErrResource;
  const uint8_t subindex = packet->type == ueiTypeByte ? packet->value.byteValue : 0;
  uint32_t cached = 0;
  aErr result = link->getStreamValue(pImpl->address(), pImpl->command, option, pImpl->index, subindex, &cached);
  if (result != aErrNotFound) {
    packet->type = ueiTypeInt;
    packet->value.intValue = cached;
    return result;
  }
  packet->address = pImpl->address();
  packet->command = pImpl->command;
  packet->option = static_cast<uint8_t>(option | ueiOPTION_GET);
  packet->specifier = static_cast<uint8_t>(pImpl->index | ueiSPECIFIER_REQUEST);
  result = link->sendUEI(*packet);
  if (result != aErrNone)
    return result;
  packet->option = option;
  packet->specifier = pImpl->index;
  // A subindex travelled in the value; it must not be mistaken for the reading.
  packet->type = ueiTypeNone;
  packet->value.intValue = 0;
  result = link->receiveUEI(packet->address, packet->command, packet->option, packet->specifier, packet);
  if (result != aErrNone)
    return result;
  return sIsErrorReply(*packet) ? moduleErrorCode(packet->value.byteValue) : aErrNone;
}

aErr EntityClass::setUEI(uint8_t option, uei* packet) { return setUEIWith(option, nullptr, packet); }

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* packet) { return setUEIWith(option, &subindex, packet); }

aErr EntityClass::setUEIWith(uint8_t option, const uint8_t* subindex, uei* packet) {
  if (!packet)
    return aErrParam;
  Link* link = pImpl->link();
  if (!link)
    return aErrResource;
  packet->address = pImpl->address();
  packet->command = pImpl->command;
  packet->option = static_cast<uint8_t>(option | ueiOPTION_SET);
  packet->specifier = static_cast<uint8_t>(pImpl->index | ueiSPECIFIER_REQUEST);
  aErr result = subindex ? link->sendUEI(*packet, *subindex) : link->sendUEI(*packet);
  if (result != aErrNone)
    return result;
  packet->option = static_cast<uint8_t>(option | ueiOPTION_SET_REPLY);
  packet->specifier = pImpl->index;
  result = link->receiveUEI(packet->address, packet->command, packet->option, packet->specifier, packet);
  if (result != aErrNone)
    return result;
  return sIsErrorReply(*packet) ? moduleErrorCode(packet->value.byteValue) : aErrNone;
}

aErr EntityClass::callUEI(uint8_t option) {
  uei packet{};
  return setUEI(option, &packet);
}

aErr EntityClass::setValue(uint8_t option, const uint8_t* subindex, ueiType type, uint32_t value) {
  uei packet{};
  packet.type = type;
  if (type == ueiTypeByte)
    packet.value.byteValue = static_cast<uint8_t>(value);
  else if (type == ueiTypeShort)
    packet.value.shortValue = static_cast<uint16_t>(value);
  else
    packet.value.intValue = value;
  return setUEIWith(option, subindex, &packet);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value) { return setValue(option, nullptr, ueiTypeByte, value); }

aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
  return setValue(option, &subindex, ueiTypeByte, value);
}

aErr EntityClass::setUEI16(uint8_t option, uint16_t value) { return setValue(option, nullptr, ueiTypeShort, value); }

aErr EntityClass::setUEI32(uint8_t option, uint32_t value) { return setValue(option, nullptr, ueiTypeInt, value); }

aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
  return setValue(option, &subindex, ueiTypeInt, value);
}

aErr EntityClass::getValue(uint8_t option, const uint8_t* subindex, uint32_t* value) {
  uei packet{};
  if (subindex) {
    packet.type = ueiTypeByte;
    packet.value.byteValue = *subindex;
  }
  aErr result = getUEI(option, &packet);
  if (result != aErrNone && result != aErrStreamStale)
    return result;
  aErr read = sReplyValue(packet, value);
  return read != aErrNone ? read : result;
}

// The typed getters deliver the value for a fresh and for a stale stream
// reading alike; the result tells the caller which it was.
template <typename T>
aErr EntityClass::getTyped(uint8_t option, const uint8_t* subindex, T* out) {
  if (!out)
    return aErrParam;
  uint32_t value = 0;
  aErr result = getValue(option, subindex, &value);
  if (result == aErrNone || result == aErrStreamStale)
    *out = static_cast<T>(value);
  return result;
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value) {
  return getTyped(option, nullptr, value);
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value) {
  return getTyped(option, &subindex, value);
}

aErr EntityClass::getUEI16(uint8_t option, uint16_t* value) {
  return getTyped(option, nullptr, value);
}

aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value) {
  return getTyped(option, &subindex, value);
}

aErr EntityClass::getUEI32(uint8_t option, uint32_t* value) {
  return getTyped(option, nullptr, value);
}

aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value) {
  return getTyped(option, &subindex, value);
}

aErr EntityClass::getUEIBytes8(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count) {
  if (!buffer || !count || capacity == 0)
    return aErrParam;
  Link* link = pImpl->link();
  if (!link)
    return aErrResource;
  *count = 0;
  uei request{};
  request.address = pImpl->address();
  request.command = pImpl->command;
  request.option = static_cast<uint8_t>(option | ueiOPTION_GET);
  request.specifier = static_cast<uint8_t>(pImpl->index | ueiSPECIFIER_REQUEST);
  aErr result = link->sendUEI(request);
  if (result != aErrNone)
    return result;

  uei match{};
  match.address = request.address;
  match.command = pImpl->command;
  match.option = option;
  match.specifier = pImpl->index;
  match.sequence = 0;
  match.capacity = capacity;
  match.value.buffer = buffer;
  match.received = count;
  while (result == aErrNone) {
    result = link->receiveUEI(match.address, match.command, match.option, match.specifier, &match, sBytesFilter);
    if (result != aErrNone)
      break;
    if (sIsErrorReply(match))
      return moduleErrorCode(match.value.byteValue);
    if (!getUEIBytesContinue(match.sequence))
      return aErrNone;
    // The next reply carries the next sequence number (wrapping after 127).
    match.sequence = static_cast<uint8_t>(match.sequence + 1);
  }
  return result;
}

aErr EntityClass::getUEIBytes32(uint8_t option, uint32_t* words, size_t capacity, size_t* count) {
  if (!words || !count || capacity == 0 || capacity > SIZE_MAX / 4)
    return aErrParam;
  *count = 0;
  size_t bytes = 0;
  aErr result = getUEIBytes8(option, reinterpret_cast<uint8_t*>(words), capacity * 4, &bytes);
  if (result != aErrNone)
    return result;
  if (bytes % 4 != 0)
    return aErrParse;
  *count = bytes / 4;
  aUEI_ModifyIntBuffer(reinterpret_cast<uint8_t*>(words), *count);
  return aErrNone;
}

uint8_t EntityClass::getUEIBytesSequence(uint8_t sequence) { return sequence & ueiSEQUENCE_MASK; }

bool EntityClass::getUEIBytesContinue(uint8_t sequence) { return (sequence & ueiSEQUENCE_CONTINUE) != 0; }

aErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t) {
  if (!value)
    return aErrParam;
  Link* link = pImpl->link();
  if (!link)
    return aErrResource;
  uei match{};
  match.address = pImpl->address();
  match.command = pImpl->command;
  match.option = option;
  match.specifier = pImpl->index;
  aErr result = link->receiveUEI(match.address, match.command, match.option, match.specifier, &match);
  if (result != aErrNone)
    return result;
  if (sIsErrorReply(match))
    return moduleErrorCode(match.value.byteValue);
  uint32_t v = 0;
  result = sReplyValue(match, &v);
  if (result == aErrNone)
    *value = v;
  return result;
}

aErr EntityClass::drainUEI(uint8_t option) {
  Link* link = pImpl->link();
  if (!link)
    return aErrResource;
  return link->dropMatchingUEIPackets(pImpl->address(), pImpl->command, option, pImpl->index);
}

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* payload) {
  Link* link = pImpl->link();
  if (!link)
    return aErrResource;
  return link->sendPacket(pImpl->address(), command, length, payload);
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* out) {
  Link* link = pImpl->link();
  if (!link)
    return aErrResource;
  return link->receivePacket(pImpl->address(), match, length, out);
}

const uint8_t kAnyStreamField = 0xFF;

aErr EntityClass::setStreamEnabled(bool enable) {
  Link* link = pImpl->link();
  if (!link)
    return aErrResource;
  return link->enableStream(pImpl->address(), pImpl->command, kAnyStreamField, pImpl->index, enable);
}

aErr EntityClass::registerOptionCallback(uint8_t option, bool enable, streamCallback callback, void* reference) {
  Link* link = pImpl->link();
  if (!link)
    return aErrResource;
  return link->registerStreamCallback(pImpl->address(), pImpl->command, option, pImpl->index, enable, callback,
                                      reference);
}

aErr EntityClass::getStreamStatus(std::map<uint64_t, uint32_t>* status) {
  Link* link = pImpl->link();
  if (!link)
    return aErrResource;
  return link->getStreamStatus(pImpl->address(), pImpl->command, kAnyStreamField, pImpl->index, kAnyStreamField,
                               status);
}

}  // namespace Kovalink
}  // namespace Tessoral
