// One connection to a module over USB or TCP/IP, directly or through a router,
// carrying UEI messages and raw packets.
#pragma once
#include <stdint.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "UEI.h"
#include "aLinkSpec.h"
#include "aPacket.h"

namespace Tessoral {
namespace Kovalink {

class LinkStreams;
class LinkPacketLog;

// Runs on the link's stream worker for every sample of a registered stream;
// its result is not used.
typedef std::function<aErr(const aPacket* packet, void* reference)> streamCallback;

// Decides whether a queued packet is the one a caller waits for; may fill the
// caller's record through `reference`.
typedef bool (*linkPacketFilter)(const aPacket* packet, void* reference);

// What a Link does itself: connect, exchange UEI messages and raw packets.
// Streams, the packet log, store slots and factory data are classes of their
// own over a Link (LinkStreams, LinkPacketLog, StoreSlots, FactoryData); the
// members under "Forwards" below hand over to them.
class Link {
public:
  explicit Link(const char* name);
  Link(const char* name, const linkSpec& spec);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Finds the module by serial number, or with serial number 0 the first one
  // of `model` (0 = any), and connects to it.
  aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model = 0);
  // Opens (or re-checks) the engine link for the stored specifier.
  aErr connect();
  bool isConnected();
  // The link engine status; 8 when there is no engine link.
  int getStatus();
  // Times the module was lost so far, even when it was back at once (0 when
  // there is no engine link).
  uint32_t getDropCount();
  aErr disconnect();
  aErr reset();

  // Asks the module at the other end for its address (0 when unknown).
  aErr getModuleAddress(uint8_t* address);

  aErr sendUEI(uei packet);
  aErr sendUEI(uei packet, uint8_t subindex);
  // Waits for the reply that `filter` (default: the UEI reply filter) accepts;
  // `packet` holds the match pattern on entry and the reply on return.
  aErr receiveUEI(uint8_t address, uint8_t command, uint8_t option, uint8_t specifier, uei* packet,
                 linkPacketFilter filter = nullptr);
  aErr dropMatchingUEIPackets(uint8_t address, uint8_t command, uint8_t option, uint8_t specifier);

  // Raw packet: the command byte followed by up to 27 payload bytes.
  aErr sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* payload);
  // Waits for the first packet whose first *length data bytes equal `match`;
  // *length becomes its data length and `out` (28 bytes) receives its data.
  aErr receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* out);

  const char* getName() const;
  aErr getLinkSpecifier(linkSpec* spec) const;
  aErr setLinkSpecifier(const linkSpec& spec);

  // The link's stream machinery and packet log.
  LinkStreams& streams();
  LinkPacketLog& packetLog();

  // Forwards. Stream key and packet vocabulary (StreamKey, StreamPacket).
  enum STREAM_KEY { STREAM_KEY_ADDRESS = 0, STREAM_KEY_COMMAND, STREAM_KEY_OPTION, STREAM_KEY_INDEX,
                    STREAM_KEY_SUBINDEX };
  enum STREAM_PACKET { STREAM_PACKET_NONE = 0, STREAM_PACKET_U8, STREAM_PACKET_U16, STREAM_PACKET_U32,
                       STREAM_PACKET_BYTES, STREAM_PACKET_U8_SUBINDEX, STREAM_PACKET_U16_SUBINDEX,
                       STREAM_PACKET_U32_SUBINDEX };
  static uint64_t createStreamKey(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                                  uint8_t subindex);
  static uint8_t getStreamKeyElement(uint64_t key, int element);
  static bool isStreamPacket(const aPacket* packet);
  static bool isStreamSample(const aPacket* packet);
  static bool getStreamPacketType(const aPacket* packet, STREAM_PACKET* type);
  static bool isSubindexType(STREAM_PACKET type);
  static aErr getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex);
  static void getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low);

  // Forwards to streams().
  aErr enableStream(uint8_t address, uint8_t command, uint8_t option, uint8_t index, bool enable);
  aErr registerStreamCallback(uint8_t address, uint8_t command, uint8_t option, uint8_t index, bool enable,
                             streamCallback callback, void* reference);
  aErr isLinkStreaming(uint8_t address, uint8_t* state);
  aErr getStreamValue(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                     uint32_t* value);
  aErr getStreamStatus(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                      std::map<uint64_t, uint32_t>* status);
  std::vector<uint64_t> filterActiveStreamKeys(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                                               uint8_t subindex, bool lock = true);

  // Forwards to StoreSlots and FactoryData over this link.
  aErr storeSlotCapacity(uint8_t address, uint8_t store, uint8_t slot, size_t* capacity);
  aErr storeSlotSize(uint8_t address, uint8_t store, uint8_t slot, size_t* size);
  aErr loadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, const uint8_t* bytes, size_t length);
  aErr unloadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, uint8_t* buffer, size_t capacity,
                      size_t* count);
  aErr getFactoryData(uint8_t address, uint8_t item, uint8_t* buffer, size_t capacity, size_t* count);
  aErr setFactoryData(uint8_t address, uint8_t item, const uint8_t* bytes, size_t length);

  // Forwards to packetLog().
  aErr enablePacketLog(const char* path);
  aErr disablePacketLog();

  // The engine's link reference, 0 when none (for tests and diagnostics).
  uint32_t getLinkRef() const;

  struct impl;

private:
  aErr sendUEIData(const uei& packet, const uint8_t* subindex);
  aErr putPacket(uint8_t address, uint8_t length, const uint8_t* data);

  std::unique_ptr<impl> pImpl;
};

}  // namespace Kovalink
}  // namespace Tessoral
