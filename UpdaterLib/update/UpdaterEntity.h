// The module's firmware-upgrade command: loader, firmware pieces, sum checks, reboot.
#pragma once
#include <cstdint>

#include "Entity.h"
#include "Module.h"
#include "ModuleCommands.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"
#include "aPacket.h"

// Option bytes of the upgrade command; every request and reply starts with cmdUPGRADE.
enum : uint8_t {
  val_UPGRADE_INIT = 0,
  val_UPGRADE_DATA = 1,
  val_UPGRADE_LOAD = 2,
  val_UPGRADE_PREPARE = 3,
  val_UPGRADE_SUM = 4,
  val_UPGRADE_WRITE = 5,
  val_UPGRADE_REBOOT = 6,
  val_UPGRADE_STATUS = 7,
};

// Most data bytes one DATA request carries (28 packet bytes less command and option).
constexpr uint32_t UPGRADE_CHUNK_SIZE = 26;

// An upgrade request to the module at `address`: the command, the option, then
// the payload (at most 26 bytes).
aPacket* UpgradeRequest(uint8_t address, uint8_t option, const uint8_t* payload, uint8_t payloadLength);

class UpdaterEntity : public Tessoral::Kovalink::EntityClass {
public:
  UpdaterEntity() = default;
  ~UpdaterEntity() override = default;

  aErr init(Tessoral::Kovalink::Module* module, uint8_t index, bool validate);

  aErr LoaderInit();
  aErr TransferPrepare(const uint8_t* content, uint32_t length, uint8_t flags, uint16_t& blockSize);
  aErr LoaderTransfer(const uint8_t* content, uint32_t length);
  aErr FirmwareTransfer(const uint8_t* content, uint32_t length, uint16_t blockSize,
                        UpdaterDisplayInterface& display);
  aErr LoaderStart();
  aErr LoaderReboot(UpdaterDisplayInterface& display);

  aErr _reconnect(uint32_t delayMs);

  // Bytes of the block the last FirmwareTransfer was given that the module
  // wrote, its 4 address bytes included once a piece was in (a block left
  // part-way says how far it got).
  uint32_t transferred = 0;

  // Bounds on the two otherwise open-ended waits; tests shorten them.
  uint32_t maxChunkResends = 200;
  uint32_t rebootWaitMs = 60000;

private:
  aErr upgradeTarget(Tessoral::Kovalink::Link*& link, uint8_t& address);
  aErr runBlock(const uint8_t* content, uint32_t length, uint32_t pieceSize, bool writes,
                UpdaterDisplayInterface* display, uint32_t& written);
  aErr sendUpgrade(uint8_t option, const uint8_t* payload, uint8_t payloadLength);
  aErr receiveUpgrade(uint8_t option, uint8_t* reply, uint8_t& replyLength);

  Tessoral::Kovalink::Module* module = nullptr;
  bool validate = true;
};
