// The Link members that hand over to the classes working over a link, kept
// so that code written against Link keeps working.
#include "FactoryData.h"
#include "LinkImpl.h"
#include "StoreSlots.h"
#include "StreamKey.h"
#include "StreamPacket.h"

namespace Tessoral {
namespace Kovalink {

LinkStreams& Link::streams() { return pImpl->streams; }

LinkPacketLog& Link::packetLog() { return pImpl->packetLog; }

uint64_t Link::createStreamKey(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
  return StreamKey::create(address, command, option, index, subindex);
}

uint8_t Link::getStreamKeyElement(uint64_t key, int element) { return StreamKey::element(key, element); }

bool Link::isStreamPacket(const aPacket* packet) { return StreamPacket::isStream(packet); }

bool Link::isStreamSample(const aPacket* packet) { return StreamPacket::isSample(packet); }

bool Link::getStreamPacketType(const aPacket* packet, STREAM_PACKET* type) { return StreamPacket::type(packet, type); }

bool Link::isSubindexType(STREAM_PACKET type) { return StreamPacket::isSubindexType(type); }

aErr Link::getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex) {
  return StreamPacket::sample(packet, timestamp, value, subindex);
}

void Link::getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low) {
  StreamPacket::timestampParts(timestamp, high, low);
}

aErr Link::enableStream(uint8_t address, uint8_t command, uint8_t option, uint8_t index, bool enable) {
  return pImpl->streams.enable(address, command, option, index, enable);
}

aErr Link::registerStreamCallback(uint8_t address, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                 streamCallback callback, void* reference) {
  return pImpl->streams.registerCallback(address, command, option, index, enable, callback, reference);
}

aErr Link::isLinkStreaming(uint8_t address, uint8_t* state) { return pImpl->streams.isStreaming(address, state); }

aErr Link::getStreamValue(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                         uint32_t* value) {
  return pImpl->streams.value(address, command, option, index, subindex, value);
}

aErr Link::getStreamStatus(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                          std::map<uint64_t, uint32_t>* status) {
  return pImpl->streams.status(address, command, option, index, subindex, status);
}

std::vector<uint64_t> Link::filterActiveStreamKeys(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                                                   uint8_t subindex, bool lock) {
  return pImpl->streams.activeKeys(address, command, option, index, subindex, lock);
}

aErr Link::storeSlotCapacity(uint8_t address, uint8_t store, uint8_t slot, size_t* capacity) {
  return StoreSlots(*this).capacity(address, store, slot, capacity);
}

aErr Link::storeSlotSize(uint8_t address, uint8_t store, uint8_t slot, size_t* size) {
  return StoreSlots(*this).size(address, store, slot, size);
}

aErr Link::loadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, const uint8_t* bytes, size_t length) {
  return StoreSlots(*this).load(address, store, slot, bytes, length);
}

aErr Link::unloadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, uint8_t* buffer, size_t capacity,
                          size_t* count) {
  return StoreSlots(*this).unload(address, store, slot, buffer, capacity, count);
}

aErr Link::getFactoryData(uint8_t address, uint8_t item, uint8_t* buffer, size_t capacity, size_t* count) {
  return FactoryData(*this).get(address, item, buffer, capacity, count);
}

aErr Link::setFactoryData(uint8_t address, uint8_t item, const uint8_t* bytes, size_t length) {
  return FactoryData(*this).set(address, item, bytes, length);
}

aErr Link::enablePacketLog(const char* path) { return pImpl->packetLog.enable(path); }

aErr Link::disablePacketLog() { return pImpl->packetLog.disable(); }

}  // namespace Kovalink
}  // namespace Tessoral
