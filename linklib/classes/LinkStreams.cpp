#include "LinkStreams.h"

#include "ModuleCommands.h"
#include "StreamKey.h"
#include "StreamPacket.h"
#include "UEI.h"
#include "aLink.h"

namespace Tessoral {
namespace Kovalink {

namespace {

const uint8_t kStreamEnable = 1;
const uint8_t kStreamDisable = 2;
const uint8_t kStreamStatus = 1;

}  // namespace

// Runs on the receiving thread: every stream packet stops here, whether or not
// anything is registered for it, so none ever reaches a reply wait.
bool LinkStreams::cbStreamFilter(const aPacket* packet, void* reference) {
  Link::STREAM_PACKET type = Link::STREAM_PACKET_NONE;
  if (!StreamPacket::type(packet, &type))
    return false;
  const uint8_t subindex = StreamPacket::isSubindexType(type) ? packet->data[4] : 0;
  const uint64_t key = StreamKey::create(packet->address, packet->data[0], packet->data[1] & ueiOPTION_MASK,
                                         packet->data[2] & ueiSPECIFIER_INDEX_MASK, subindex);
  static_cast<LinkStreams*>(reference)->take(packet, key);
  return true;
}

void LinkStreams::take(const aPacket* packet, uint64_t key) {
  uint32_t sampled = 0;
  const bool parsed = StreamPacket::sample(packet, nullptr, &sampled, nullptr) == aErrNone;
  std::lock_guard<std::mutex> lock(mapMutex);
  auto concrete = map.find(key);
  if (concrete != map.end()) {
    worker.queue(concrete->second.callback, concrete->second.reference, packet);
    if (parsed) {
      concrete->second.value = sampled;
      concrete->second.fresh = true;
    }
  }
  bool wildcard = false;
  for (int i = 0; i < StreamKey::kGenericMasks; ++i) {
    const uint64_t generic = key | StreamKey::genericMask(i);
    if (generic == key)
      continue;  // a field already 0xFF: that entry was the concrete one
    auto found = map.find(generic);
    if (found == map.end())
      continue;
    worker.queue(found->second.callback, found->second.reference, packet);
    wildcard = true;
  }
  // A wildcard registration gets one cache entry per concrete key that streams.
  if (concrete == map.end() && wildcard && parsed) {
    StreamEntry& entry = map[key];
    entry.key = key;
    entry.value = sampled;
    entry.fresh = true;
  }
}

void LinkStreams::eraseMatching(uint8_t address, uint8_t command, uint8_t option, uint8_t index) {
  for (auto it = map.begin(); it != map.end();)
    it = StreamKey::matches(it->first, address, command, option, index, StreamKey::kWildcard) ? map.erase(it)
                                                                                           : std::next(it);
}

aErr LinkStreams::installFilter(bool on) {
  const linkRef ref = link.getLinkRef();
  if (ref == 0)
    return aErrConfiguration;
  if (on) {
    // Installed again on every registration: a reset link has lost it.
    aErr result = aLink_InstallUserPacketFilter(ref, cbStreamFilter, this);
    if (result != aErrNone)
      return result;
    filterInstalled = true;
    return worker.start() ? aErrNone : aErrResource;
  }
  if (filterInstalled) {
    aErr result = aLink_InstallUserPacketFilter(ref, nullptr, nullptr);
    if (result != aErrNone)
      return result;
    filterInstalled = false;
  }
  {
    std::lock_guard<std::mutex> lock(mapMutex);
    map.clear();
  }
  worker.stop();
  return aErrNone;
}

void LinkStreams::stop() {
  std::lock_guard<std::mutex> guard(control);
  const linkRef ref = link.getLinkRef();
  if (ref != 0 && filterInstalled)
    aLink_InstallUserPacketFilter(ref, nullptr, nullptr);
  filterInstalled = false;
  {
    std::lock_guard<std::mutex> lock(mapMutex);
    map.clear();
  }
  worker.stop();
}

// The stream command names the value by the low 32 bits of its key (the
// subindex is not sent); the module answers with a set reply or an error.
aErr LinkStreams::askModule(uint8_t address, uint64_t key, bool enable) {
  const uint8_t operation = enable ? kStreamEnable : kStreamDisable;
  uei request{};
  request.address = address;
  request.command = cmdSTREAM;
  request.option = static_cast<uint8_t>(operation | ueiOPTION_SET);
  request.specifier = ueiSPECIFIER_REQUEST;
  request.type = ueiTypeInt;
  request.value.intValue = static_cast<uint32_t>(key);
  aErr result = link.sendUEI(request);
  if (result != aErrNone)
    return result;
  uei reply{};
  reply.address = address;
  reply.command = cmdSTREAM;
  reply.option = static_cast<uint8_t>(operation | ueiOPTION_SET_REPLY);
  result = link.receiveUEI(address, reply.command, reply.option, 0, &reply);
  if (result == aErrNone && (reply.specifier & ueiSPECIFIER_ERROR))
    result = moduleErrorCode(reply.value.byteValue);
  return result;
}

aErr LinkStreams::registerCallback(uint8_t address, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                  streamCallback callback, void* reference) {
  if (address == 0 || (address & 1) != 0)
    return aErrParam;
  // The worker cannot wait for itself to stop.
  if (worker.onWorker())
    return aErrBusy;
  std::lock_guard<std::mutex> guard(control);
  const uint64_t key = StreamKey::create(address, command, option, index, StreamKey::kWildcard);
  {
    std::lock_guard<std::mutex> lock(mapMutex);
    if (enable) {
      StreamEntry& entry = map[key];
      entry.key = key;
      entry.callback = callback;
      entry.reference = reference;
    } else {
      eraseMatching(address, command, option, index);
    }
  }
  // A removal keeps the filter until the module has answered: samples it sent
  // before it stopped are still on their way and must not reach reply waits.
  aErr result = enable ? installFilter(true) : aErrNone;
  if (result == aErrNone)
    result = askModule(address, key, enable);
  bool empty = false;
  {
    std::lock_guard<std::mutex> lock(mapMutex);
    // A module that refused (or never answered) streams nothing for it.
    if (result != aErrNone)
      eraseMatching(address, command, option, index);
    empty = map.empty();
  }
  // The last registration gone: no filter, no worker.
  if (empty && filterInstalled)
    installFilter(false);
  return result;
}

aErr LinkStreams::enable(uint8_t address, uint8_t command, uint8_t option, uint8_t index, bool on) {
  return registerCallback(address, command, option, index, on, streamCallback(), nullptr);
}

aErr LinkStreams::isStreaming(uint8_t address, uint8_t* state) {
  if (!state)
    return aErrParam;
  uei request{};
  request.address = address;
  request.command = cmdSTREAM;
  request.option = kStreamStatus | ueiOPTION_GET;
  request.specifier = ueiSPECIFIER_REQUEST;
  aErr result = link.sendUEI(request);
  if (result != aErrNone)
    return result;
  uei reply{};
  reply.address = address;
  reply.command = cmdSTREAM;
  reply.option = kStreamStatus;
  result = link.receiveUEI(address, reply.command, reply.option, 0, &reply);
  if (result != aErrNone)
    return result;
  if (reply.specifier & ueiSPECIFIER_ERROR)
    return moduleErrorCode(reply.value.byteValue);
  *state = reply.value.byteValue;
  return aErrNone;
}

aErr LinkStreams::value(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                       uint32_t* cached) {
  if (!cached)
    return aErrParam;
  std::lock_guard<std::mutex> lock(mapMutex);
  auto found = map.find(StreamKey::create(address, command, option, index, subindex));
  if (found == map.end())
    return aErrNotFound;
  *cached = found->second.value;
  if (!found->second.fresh)
    return aErrStreamStale;
  found->second.fresh = false;
  return aErrNone;
}

std::vector<uint64_t> LinkStreams::activeKeys(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                                              uint8_t subindex, bool lock) {
  std::unique_lock<std::mutex> guard(mapMutex, std::defer_lock);
  if (lock)
    guard.lock();
  std::vector<uint64_t> keys;
  for (const auto& entry : map)
    if (StreamKey::matches(entry.first, address, command, option, index, subindex))
      keys.push_back(entry.first);
  return keys;
}

aErr LinkStreams::status(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                        std::map<uint64_t, uint32_t>* values) {
  if (!values)
    return aErrParam;
  values->clear();
  const std::vector<uint64_t> keys = activeKeys(address, command, option, index, subindex);
  std::lock_guard<std::mutex> lock(mapMutex);
  for (uint64_t key : keys) {
    auto found = map.find(key);
    if (StreamKey::isConcrete(key) && found != map.end())
      (*values)[key] = found->second.value;
  }
  return aErrNone;
}

}  // namespace Kovalink
}  // namespace Tessoral
