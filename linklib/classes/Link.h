// One connection to a module over USB or TCP/IP, directly or through a router,
// carrying UEI messages and raw packets.
#pragma once
#include <stdint.h>

#include <memory>
#include <string>

#include "UEI.h"
#include "aLinkSpec.h"
#include "aPacket.h"

namespace Tessoral {
namespace Kovalink {

// Decides whether a queued packet is the one a caller waits for; may fill the
// caller's record through `reference`.
typedef bool (*linkPacketFilter)(const aPacket* packet, void* reference);

class Link {
public:
  explicit Link(const char* name);
  Link(const char* name, const linkSpec& spec);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Finds the module by serial number, or with serial number 0 the first one
  // of `model` (0 = any), and connects to it.
  int discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model = 0);
  // Opens (or re-checks) the engine link for the stored specifier.
  int connect();
  bool isConnected();
  // The link engine status; 8 when there is no engine link.
  int getStatus();
  // Times the module was lost so far, even when it was back at once (0 when
  // there is no engine link).
  uint32_t getDropCount();
  int disconnect();
  int reset();

  // Asks the module at the other end for its address (0 when unknown).
  int getModuleAddress(uint8_t* address);

  int sendUEI(uei packet);
  int sendUEI(uei packet, uint8_t subindex);
  // Waits for the reply that `filter` (default: the UEI reply filter) accepts;
  // `packet` holds the match pattern on entry and the reply on return.
  int receiveUEI(uint8_t address, uint8_t command, uint8_t option, uint8_t specifier, uei* packet,
                 linkPacketFilter filter = nullptr);
  int dropMatchingUEIPackets(uint8_t address, uint8_t command, uint8_t option, uint8_t specifier);

  // Raw packet: the command byte followed by up to 27 payload bytes.
  int sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* payload);
  // Waits for the first packet whose first *length data bytes equal `match`;
  // *length becomes its data length and `out` (28 bytes) receives its data.
  int receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* out);

  const char* getName() const;
  int getLinkSpecifier(linkSpec* spec) const;
  int setLinkSpecifier(const linkSpec& spec);

  // Cached value of a streamed option; aErrNotFound while nothing is streamed.
  int getStreamValue(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                     uint32_t* value);

  int enablePacketLog(const char* path);
  int disablePacketLog();

  // The engine's link reference, 0 when none (for tests and diagnostics).
  uint32_t getLinkRef() const;

  struct impl;

private:
  int sendUEIData(const uei& packet, const uint8_t* subindex);
  int putPacket(uint8_t address, uint8_t length, const uint8_t* data);
  void releaseLogger();

  std::unique_ptr<impl> pImpl;
};

}  // namespace Kovalink
}  // namespace Tessoral
