#include "update/UpdaterEntity.h"

#include <cstring>

#include "Log.h"
#include "aBytes.h"
#include "aLink.h"
#include "aLinkRun.h"
#include "update/FirmwareRun.h"
#include "aPacket.h"
#include "aTime.h"

using Tessoral::Kovalink::Module;

using Tessoral::Kovalink::cmdUPGRADE;

namespace {
constexpr uint32_t RECONNECT_ATTEMPTS = 5;
constexpr uint32_t DEFAULT_SERIAL_NUMBER = 0xDEADDEAD;
constexpr uint32_t REBOOT_POLL_MS = 250;

// The address query is answered by the module at the other end of the link: for a
// module on a router's network, that is the router.
bool sBehindRouter(Tessoral::Kovalink::Module* module) {
  uint8_t linkAddress = 0;
  return module != nullptr && module->getLink() != nullptr &&
         module->getLink()->getModuleAddress(&linkAddress) == aErrNone && linkAddress != 0 &&
         linkAddress != module->getModuleAddress();
}
}  // namespace

aErr UpdaterEntity::init(Module* module_, uint8_t index, bool validate_) {
  module = module_;
  validate = validate_;
  EntityClass::init(module_, cmdUPGRADE, index);
  return aErrNone;
}

aPacket* UpgradeRequest(uint8_t address, uint8_t option, const uint8_t* payload, uint8_t payloadLength) {
  uint8_t bytes[aPACKET_MAX_DATA] = {cmdUPGRADE, option};
  if (payloadLength > 0) memcpy(bytes + 2, payload, payloadLength);
  return aPacket_CreateWithData(address, static_cast<uint8_t>(payloadLength + 2), bytes);
}

aErr UpdaterEntity::upgradeTarget(Tessoral::Kovalink::Link*& link, uint8_t& address) {
  link = module != nullptr ? module->getLink() : nullptr;
  if (link == nullptr) return aErrResource;
  if (!link->isConnected()) return aErrConnection;
  address = module->getModuleAddress();
  // Module addresses are even; 0 is none.
  if (address == 0 || (address & 1) != 0) return aErrPacket;
  return aErrNone;
}

// Like the object layer's block transfers, the upgrade frames its own requests and
// puts them straight on the module's link.
aErr UpdaterEntity::sendUpgrade(uint8_t option, const uint8_t* payload, uint8_t payloadLength) {
  Tessoral::Kovalink::Link* link = nullptr;
  uint8_t address = 0;
  aErr target = upgradeTarget(link, address);
  if (target != aErrNone) return target;
  if (payloadLength > aPACKET_MAX_DATA - 2 || (payloadLength > 0 && payload == nullptr)) return aErrParam;
  aPacket* packet = UpgradeRequest(address, option, payload, payloadLength);
  if (packet == nullptr) return aErrResource;
  const aErr put = aLink_PutPacket(link->getLinkRef(), packet);
  aPacket_Destroy(&packet);
  return put;
}

// Bytes a reply did not carry read as 0xFF, so a short reply never looks like status 0.
aErr UpdaterEntity::receiveUpgrade(uint8_t option, uint8_t* reply, uint8_t& replyLength) {
  uint8_t match[2] = {cmdUPGRADE, option};
  memset(reply, 0xFF, aPACKET_MAX_DATA);
  replyLength = 2;
  return receivePacket(match, &replyLength, reply);
}

aErr UpdaterEntity::LoaderInit() {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
  aErr err = sendUpgrade(val_UPGRADE_INIT, nullptr, 0);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", err);
    return err;
  }
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  err = receiveUpgrade(val_UPGRADE_INIT, reply, length);
  if (err != aErrNone) return err;
  if (length <= 5) return aErrPacket;
  uint32_t loadBase = aBytes_GetBE32(reply + 2);
  Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", static_cast<int>(loadBase), loadBase);
  return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* content, uint32_t length, uint8_t flags, uint16_t& blockSize) {
  // The target address is the block's first four bytes; a shorter block has none.
  if (content == nullptr || length < 4) return aErrParam;
  Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", static_cast<int>(length), flags,
           blockSize);
  Log::log(DEBUG_Network_FIRM,
           "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n", flags,
           content[0], content[1], content[2], content[3]);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", static_cast<int>(aBytes_GetBE32(content)));
  uint8_t payload[5] = {flags, content[0], content[1], content[2], content[3]};
  aErr err = sendUpgrade(val_UPGRADE_PREPARE, payload, sizeof payload);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", err);
    return err;
  }
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  err = receiveUpgrade(val_UPGRADE_STATUS, reply, replyLength);
  if (err != aErrNone) return err;
  if (reply[2] != 0 || replyLength < 5) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
    return aErrInvalidOption;
  }
  blockSize = aBytes_GetBE16(reply + 3);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n", blockSize);
  return aErrNone;
}

// A block goes as one run of exchanges: on a socket or serial link it is
// moved by the link core's exchange thread, which serves every module being
// updated at once, while this thread only shows progress.
aErr UpdaterEntity::runBlock(const uint8_t* content, uint32_t length, uint32_t pieceSize, bool writes,
                             UpdaterDisplayInterface* display, uint32_t& written) {
  Tessoral::Kovalink::Link* link = nullptr;
  FirmwareRun::Plan plan;
  aErr target = upgradeTarget(link, plan.address);
  if (target != aErrNone) return target;
  plan.content = content;
  plan.length = length;
  plan.pieceSize = pieceSize;
  plan.validate = validate;
  plan.writes = writes;
  plan.maxChunkResends = maxChunkResends;
  FirmwareRun run(plan, display);
  if (display) display->display_progress(true);
  aLinkExchanges exchanges = run.exchanges();
  aErr ran = aLink_RunExchanges(link->getLinkRef(), &exchanges);
  run.showProgress();
  if (display) display->display_progress(false);
  written = run.written();
  return run.result() != aErrNone ? run.result() : ran;
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* content, uint32_t length) {
  if (content == nullptr || length < 4) return aErrParam;
  uint32_t address = aBytes_GetLE32(content);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", address,
           static_cast<int>(length - 4));
  uint32_t written = 0;
  return runBlock(content, length, length - 4, false, nullptr, written);
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* content, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display) {
  if (content == nullptr || length < 4) return aErrParam;
  uint32_t address = aBytes_GetBE32(content);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", address,
           static_cast<int>(length - 4));
  // Pieces of 0 bytes would never finish the block; the module must name a real size.
  if (blockSize == 0) {
    Log::log(0, "NETWORK: Module gave block size 0, cannot transfer firmware\n");
    return aErrInvalidOption;
  }
  transferred = 0;
  aErr result = runBlock(content, length, blockSize, true, &display, transferred);
  Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n", static_cast<int>(transferred),
           static_cast<int>(length));
  if (result != aErrNone && result != aErrCancel) Log::log(0, "NETWORK: Failed to transfer firmware\n");
  return result;
}

aErr UpdaterEntity::LoaderStart() {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
  aErr err = sendUpgrade(val_UPGRADE_LOAD, nullptr, 0);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", err);
    return err;
  }
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  if (receiveUpgrade(val_UPGRADE_LOAD, reply, replyLength) == aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
    return aErrNone;
  }
  err = _reconnect(500);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", err,
             aError_GetErrorText(err));
    return aErrTimeout;
  }
  // The confirmation may still come once the loader has the link; LOAD is not sent twice.
  err = receiveUpgrade(val_UPGRADE_LOAD, reply, replyLength);
  if (err == aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
    return aErrNone;
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", err,
           aError_GetErrorText(err));
  return aErrTimeout;
}

aErr UpdaterEntity::_reconnect(uint32_t delayMs) {
  if (module == nullptr) return aErrResource;
  module->disconnect();
  aErr err = aErrNone;
  for (uint32_t attempt = 1; attempt <= RECONNECT_ATTEMPTS; attempt++) {
    Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %u of %u\n", attempt, RECONNECT_ATTEMPTS);
    err = module->reconnect();
    if (err == aErrNone) {
      Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
      return aErrNone;
    }
    Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %u ms\n", delayMs);
    aTime_MSSleep(delayMs);
  }
  // A module whose loader runs may enumerate under the default serial number.
  for (uint32_t attempt = 1; attempt <= RECONNECT_ATTEMPTS; attempt++) {
    Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %u of %u\n", attempt,
             RECONNECT_ATTEMPTS);
    err = module->connect(linkTypeUSB, DEFAULT_SERIAL_NUMBER);
    if (err == aErrNone) {
      Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
      return aErrNone;
    }
    Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %u ms\n", delayMs);
    aTime_MSSleep(delayMs);
  }
  return err;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
  // The drop is an event: a module that is back at once has rebooted although
  // the link looks as connected as before, so the drop count is what tells.
  const uint32_t dropsBefore = module != nullptr ? module->getDropCount() : 0;
  // Behind a router the module reboots on its network while the router keeps this
  // host's link: no drop comes to wait for.
  const bool routed = sBehindRouter(module);
  aErr result = sendUpgrade(val_UPGRADE_REBOOT, nullptr, 0);
  if (result != aErrNone) Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
  // A module that never lets go of its link has not rebooted; do not wait for ever.
  aDeadline deadline = aDeadline_In(rebootWaitMs);
  while (!routed && module != nullptr && module->isConnected() && module->getDropCount() == dropsBefore) {
    if (aDeadline_Passed(deadline)) {
      Log::log(0, "NETWORK: Link did not drop within %u ms of REBOOT\n", rebootWaitMs);
      if (result == aErrNone) result = aErrTimeout;
      break;
    }
    aTime_MSSleep(REBOOT_POLL_MS);
    display.update_spinner(true, "Verifying Update");
    Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
    Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
  }
  display.update_spinner(false, "Verifying Update");
  return result;
}
