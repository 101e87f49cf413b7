// Link streams: registrations with the module, the filter that takes stream
// packets off the receiving thread into the value cache, and the worker that
// runs callbacks away from both the receiving thread and the map mutex.
#include "LinkStreams.h"

#include <errno.h>

#include <system_error>

#include "LinkImpl.h"
#include "ModuleCommands.h"
#include "aUEI.h"

namespace Tessoral {
namespace Kovalink {

namespace {

const uint8_t kWildcard = 0xFF;
const int kGenericMasks = 15;
const uint8_t kStreamEnable = 1;
const uint8_t kStreamDisable = 2;
const uint8_t kStreamStatus = 1;
// Stream packets never carry this command (it is the slot protocol's close).
const uint8_t kNeverStreamed = 8;
const size_t kTimestampBytes = 8;

// Mask i sets the wildcard fields of combination i + 1 (bit 0 index, bit 1
// option, bit 2 command, bit 3 subindex); the address is never a wildcard.
uint64_t sGenericStreamKeyMask(int i) {
  const unsigned fields = static_cast<unsigned>(i + 1);
  uint64_t mask = 0;
  if (fields & 1)
    mask |= 0xFFull;
  if (fields & 2)
    mask |= 0xFF00ull;
  if (fields & 4)
    mask |= 0xFF0000ull;
  if (fields & 8)
    mask |= 0xFF00000000ull;
  return mask;
}

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

size_t sValueWidth(Link::STREAM_PACKET type) {
  switch (type) {
    case Link::STREAM_PACKET_U8:
    case Link::STREAM_PACKET_U8_SUBINDEX: return 1;
    case Link::STREAM_PACKET_U16:
    case Link::STREAM_PACKET_U16_SUBINDEX: return 2;
    default: return 4;
  }
}

bool sKeyMatches(uint64_t key, uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
  const uint8_t wanted[] = {address, command, option, index, subindex};
  for (int element = 0; element < 5; ++element)
    if (wanted[element] != kWildcard && Link::getStreamKeyElement(key, element) != wanted[element])
      return false;
  return true;
}

void sEraseMatching(std::map<uint64_t, StreamEntry>& map, uint8_t address, uint8_t command, uint8_t option,
                    uint8_t index) {
  for (auto it = map.begin(); it != map.end();)
    it = sKeyMatches(it->first, address, command, option, index, kWildcard) ? map.erase(it) : std::next(it);
}

int sModuleCode(uint8_t code) { return code != aErrNone ? code : static_cast<int>(aErrUnknown); }

// Runs on the receiving thread: every stream packet stops here, whether or not
// anything is registered for it, so none ever reaches a reply wait.
bool cbStreamFilter(const aPacket* packet, void* reference) {
  Link::STREAM_PACKET type = Link::STREAM_PACKET_NONE;
  if (!Link::isStreamPacket(packet) || !Link::getStreamPacketType(packet, &type))
    return false;
  LinkStreams* streams = static_cast<LinkStreams*>(reference);
  const uint8_t subindex = Link::isSubindexType(type) ? packet->data[4] : 0;
  const uint64_t key =
      Link::createStreamKey(packet->address, packet->data[0], packet->data[1] & ueiOPTION_MASK,
                            packet->data[2] & ueiSPECIFIER_INDEX_MASK, subindex);
  uint32_t value = 0;
  const bool parsed = Link::getStreamSample(packet, nullptr, &value, nullptr) == aErrNone;

  std::lock_guard<std::mutex> lock(streams->mapMutex);
  auto concrete = streams->map.find(key);
  if (concrete != streams->map.end()) {
    streams->queue(concrete->second, packet);
    if (parsed) {
      concrete->second.value = value;
      concrete->second.fresh = true;
    }
  }
  bool wildcard = false;
  for (int i = 0; i < kGenericMasks; ++i) {
    const uint64_t generic = key | sGenericStreamKeyMask(i);
    if (generic == key)
      continue;  // a field already 0xFF: that entry was the concrete one
    auto found = streams->map.find(generic);
    if (found == streams->map.end())
      continue;
    streams->queue(found->second, packet);
    wildcard = true;
  }
  if (concrete == streams->map.end() && wildcard && parsed) {
    StreamEntry& entry = streams->map[key];
    entry.key = key;
    entry.value = value;
    entry.fresh = true;
  }
  return true;
}

}  // namespace

LinkStreams::LinkStreams() : pending(kQueueSlots) { sem_init(&wake, 0, 0); }

LinkStreams::~LinkStreams() {
  stopWorker();
  sem_destroy(&wake);
}

bool LinkStreams::startWorker() {
  if (worker.joinable())
    return true;
  stop = false;
  try {
    worker = std::thread(&LinkStreams::work, this);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void LinkStreams::stopWorker() {
  if (worker.joinable()) {
    stop = true;
    sem_post(&wake);
    worker.join();
  }
  // Invocations the worker did not reach are released, and their wake-ups
  // forgotten, so that a later worker starts from an empty queue.
  asyncPacket left;
  while (pending.pop(&left))
    aPacket_Destroy(&left.packet);
  while (sem_trywait(&wake) == 0) {
  }
}

void LinkStreams::queue(const StreamEntry& entry, const aPacket* packet) {
  if (!entry.callback)
    return;
  asyncPacket invocation;
  invocation.callback = entry.callback;
  invocation.reference = entry.reference;
  invocation.packet = aPacket_Copy(packet);
  if (invocation.packet && pending.push(invocation)) {
    sem_post(&wake);
    return;
  }
  // Full: the invocation is lost; the cache is still updated by the filter.
  aPacket_Destroy(&invocation.packet);
}

void LinkStreams::work() {
  workerId = std::this_thread::get_id();
  for (;;) {
    if (sem_wait(&wake) != 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    if (stop)
      return;
    asyncPacket invocation;
    if (!pending.pop(&invocation))
      continue;
    invocation.callback(invocation.packet, invocation.reference);
    aPacket_Destroy(&invocation.packet);
  }
}

uint64_t Link::createStreamKey(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
  return static_cast<uint64_t>(index) | static_cast<uint64_t>(option) << 8 | static_cast<uint64_t>(command) << 16 |
         static_cast<uint64_t>(address) << 24 | static_cast<uint64_t>(subindex) << 32;
}

uint8_t Link::getStreamKeyElement(uint64_t key, int element) {
  switch (element) {
    case STREAM_KEY_ADDRESS: return static_cast<uint8_t>(key >> 24);
    case STREAM_KEY_COMMAND: return static_cast<uint8_t>(key >> 16);
    case STREAM_KEY_OPTION: return static_cast<uint8_t>(key >> 8);
    case STREAM_KEY_INDEX: return static_cast<uint8_t>(key);
    case STREAM_KEY_SUBINDEX: return static_cast<uint8_t>(key >> 32);
    default: return 0;
  }
}

bool Link::isStreamPacket(const aPacket* packet) {
  return packet && packet->dataSize > 4 && packet->data[0] != kNeverStreamed &&
         (packet->data[1] & (ueiOPTION_GET | ueiOPTION_SET)) == 0 && (packet->data[2] & ueiSPECIFIER_STREAM) != 0;
}

bool Link::getStreamPacketType(const aPacket* packet, STREAM_PACKET* type) {
  STREAM_PACKET found = STREAM_PACKET_NONE;
  if (isStreamPacket(packet)) {
    if (packet->data[packet->dataSize - 1] != 0)
      found = STREAM_PACKET_BYTES;
    else if (packet->data[3] >= STREAM_PACKET_U8 && packet->data[3] <= STREAM_PACKET_U32_SUBINDEX)
      found = static_cast<STREAM_PACKET>(packet->data[3]);
  }
  if (type)
    *type = found;
  return found != STREAM_PACKET_NONE;
}

bool Link::isSubindexType(STREAM_PACKET type) {
  return type == STREAM_PACKET_U8_SUBINDEX || type == STREAM_PACKET_U16_SUBINDEX ||
         type == STREAM_PACKET_U32_SUBINDEX;
}

bool Link::isStreamSample(const aPacket* packet) {
  STREAM_PACKET type = STREAM_PACKET_NONE;
  return getStreamPacketType(packet, &type) && type != STREAM_PACKET_BYTES &&
         packet->data[packet->dataSize - 1] == 0 && packet->dataSize == sSampleLength(type);
}

int Link::getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex) {
  STREAM_PACKET type = STREAM_PACKET_NONE;
  if (!getStreamPacketType(packet, &type))
    return aErrPacket;
  if (type == STREAM_PACKET_BYTES)
    return aErrSize;
  if (!isStreamSample(packet))
    return aErrPacket;
  const size_t at = isSubindexType(type) ? 5 : 4;
  if (timestamp)
    *timestamp = static_cast<uint64_t>(aUEI_RetrieveInt(&packet->data[at])) << 32 |
                 aUEI_RetrieveInt(&packet->data[at + 4]);
  const uint8_t* bytes = &packet->data[at + kTimestampBytes];
  if (value) {
    const size_t width = sValueWidth(type);
    *value = width == 1 ? bytes[0] : width == 2 ? aUEI_RetrieveShort(bytes) : aUEI_RetrieveInt(bytes);
  }
  if (subindex)
    *subindex = isSubindexType(type) ? packet->data[4] : 0;
  return aErrNone;
}

void Link::getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low) {
  if (high)
    *high = static_cast<uint32_t>(timestamp >> 32);
  if (low)
    *low = static_cast<uint32_t>(timestamp);
}

int Link::enableStream(uint8_t address, uint8_t command, uint8_t option, uint8_t index, bool enable) {
  return registerStreamCallback(address, command, option, index, enable, streamCallback(), nullptr);
}

// Caller holds the control mutex.
int Link::installStreamFilter(bool on) {
  LinkStreams& streams = pImpl->streams;
  if (pImpl->ref == 0)
    return aErrConfiguration;
  if (on) {
    // Installed again on every registration: a reset link has lost it.
    aErr result = aLink_InstallUserPacketFilter(pImpl->ref, cbStreamFilter, &streams);
    if (result != aErrNone)
      return result;
    streams.filterInstalled = true;
    return streams.startWorker() ? static_cast<int>(aErrNone) : static_cast<int>(aErrResource);
  }
  if (streams.filterInstalled) {
    aErr result = aLink_InstallUserPacketFilter(pImpl->ref, nullptr, nullptr);
    if (result != aErrNone)
      return result;
    streams.filterInstalled = false;
  }
  {
    std::lock_guard<std::mutex> lock(streams.mapMutex);
    streams.map.clear();
  }
  streams.stopWorker();
  return aErrNone;
}

void Link::stopStreams() {
  LinkStreams& streams = pImpl->streams;
  std::lock_guard<std::mutex> control(streams.control);
  if (pImpl->ref != 0 && streams.filterInstalled)
    aLink_InstallUserPacketFilter(pImpl->ref, nullptr, nullptr);
  streams.filterInstalled = false;
  {
    std::lock_guard<std::mutex> lock(streams.mapMutex);
    streams.map.clear();
  }
  streams.stopWorker();
}

int Link::registerStreamCallback(uint8_t address, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                 streamCallback callback, void* reference) {
  if (address == 0 || (address & 1) != 0)
    return aErrParam;
  LinkStreams& streams = pImpl->streams;
  // The worker cannot wait for itself to stop.
  if (streams.onWorker())
    return aErrBusy;
  std::lock_guard<std::mutex> control(streams.control);
  const uint64_t key = createStreamKey(address, command, option, index, kWildcard);
  {
    std::lock_guard<std::mutex> lock(streams.mapMutex);
    if (enable) {
      StreamEntry& entry = streams.map[key];
      entry.key = key;
      entry.callback = callback;
      entry.reference = reference;
    } else {
      sEraseMatching(streams.map, address, command, option, index);
    }
  }
  // A removal keeps the filter until the module has answered: samples it sent
  // before it stopped are still on their way and must not reach reply waits.
  int result = enable ? installStreamFilter(true) : static_cast<int>(aErrNone);
  if (result == aErrNone) {
    uei request{};
    request.address = address;
    request.command = cmdSTREAM;
    request.option = static_cast<uint8_t>((enable ? kStreamEnable : kStreamDisable) | ueiOPTION_SET);
    request.specifier = ueiSPECIFIER_REQUEST;
    request.type = ueiTypeInt;
    request.value.intValue = static_cast<uint32_t>(key);
    result = sendUEI(request);
    uei reply{};
    reply.address = address;
    reply.command = cmdSTREAM;
    reply.option = static_cast<uint8_t>((enable ? kStreamEnable : kStreamDisable) | ueiOPTION_SET_REPLY);
    if (result == aErrNone)
      result = receiveUEI(address, reply.command, reply.option, 0, &reply);
    if (result == aErrNone && (reply.specifier & ueiSPECIFIER_ERROR))
      result = sModuleCode(reply.value.byteValue);
  }
  bool empty = false;
  {
    std::lock_guard<std::mutex> lock(streams.mapMutex);
    // A module that refused (or never answered) streams nothing for it.
    if (result != aErrNone)
      sEraseMatching(streams.map, address, command, option, index);
    empty = streams.map.empty();
  }
  // The last registration gone: no filter, no worker.
  if (empty && streams.filterInstalled)
    installStreamFilter(false);
  return result;
}

int Link::isLinkStreaming(uint8_t address, uint8_t* state) {
  if (!state)
    return aErrParam;
  uei request{};
  request.address = address;
  request.command = cmdSTREAM;
  request.option = kStreamStatus | ueiOPTION_GET;
  request.specifier = ueiSPECIFIER_REQUEST;
  int result = sendUEI(request);
  if (result != aErrNone)
    return result;
  uei reply{};
  reply.address = address;
  reply.command = cmdSTREAM;
  reply.option = kStreamStatus;
  result = receiveUEI(address, reply.command, reply.option, 0, &reply);
  if (result != aErrNone)
    return result;
  if (reply.specifier & ueiSPECIFIER_ERROR)
    return sModuleCode(reply.value.byteValue);
  *state = reply.value.byteValue;
  return aErrNone;
}

int Link::getStreamValue(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                         uint32_t* value) {
  if (!value)
    return aErrParam;
  LinkStreams& streams = pImpl->streams;
  std::lock_guard<std::mutex> lock(streams.mapMutex);
  auto found = streams.map.find(createStreamKey(address, command, option, index, subindex));
  if (found == streams.map.end())
    return aErrNotFound;
  *value = found->second.value;
  if (!found->second.fresh)
    return aErrStreamStale;
  found->second.fresh = false;
  return aErrNone;
}

std::vector<uint64_t> Link::filterActiveStreamKeys(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                                                   uint8_t subindex, bool lock) {
  LinkStreams& streams = pImpl->streams;
  std::unique_lock<std::mutex> guard(streams.mapMutex, std::defer_lock);
  if (lock)
    guard.lock();
  std::vector<uint64_t> keys;
  for (const auto& entry : streams.map)
    if (sKeyMatches(entry.first, address, command, option, index, subindex))
      keys.push_back(entry.first);
  return keys;
}

int Link::getStreamStatus(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                          std::map<uint64_t, uint32_t>* status) {
  if (!status)
    return aErrParam;
  status->clear();
  const std::vector<uint64_t> keys = filterActiveStreamKeys(address, command, option, index, subindex);
  LinkStreams& streams = pImpl->streams;
  std::lock_guard<std::mutex> lock(streams.mapMutex);
  for (uint64_t key : keys) {
    bool concrete = true;
    for (int element = 0; element < 5; ++element)
      concrete = concrete && getStreamKeyElement(key, element) != kWildcard;
    auto found = streams.map.find(key);
    if (concrete && found != streams.map.end())
      (*status)[key] = found->second.value;
  }
  return aErrNone;
}

}  // namespace Kovalink
}  // namespace Tessoral
