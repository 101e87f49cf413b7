#include "recovery/imx/SDPLoader.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

#include "Log.h"
#include "aBytes.h"
#include "aError.h"

namespace {

constexpr uint8_t kCommandReport = 0x01;
constexpr uint8_t kDataReport = 0x02;
constexpr size_t kCommandPacketSize = 17;  // report ID and the 16-byte command block

constexpr uint16_t kReadRegister = 0x0101;
constexpr uint16_t kWriteFile = 0x0404;
constexpr uint16_t kErrorStatus = 0x0505;
constexpr uint16_t kJumpAddress = 0x0B0B;
constexpr uint8_t kFormat32 = 0x20;

constexpr unsigned kWriteComplete = 0x88888888;

}  // namespace

SDPLoader::~SDPLoader() = default;

bool SDPLoader::setLoader(std::unique_ptr<SDPLoader_Interface> loader) {
  if (!loader || transport)
    return false;
  transport = std::move(loader);
  return true;
}

int SDPLoader::init() {
  if (!transport)
    return aErrMemory;
  return transport->init() ? aErrNone : aErrIO;
}

std::vector<uint8_t> SDPLoader::_fillCommand(uint16_t command, uint32_t address, uint8_t format, uint32_t count) {
  // Data and the reserved byte stay zero.
  std::vector<uint8_t> packet(kCommandPacketSize, 0);
  packet[0] = kCommandReport;
  aBytes_PutBE16(&packet[1], command);
  aBytes_PutBE32(&packet[3], address);
  packet[7] = format;
  aBytes_PutBE32(&packet[8], count);
  return packet;
}

std::vector<uint8_t> SDPLoader::_createStatusPacket() { return _fillCommand(kErrorStatus, 0, 0, 0); }

std::vector<uint8_t> SDPLoader::_createWriteFilePacket(uint32_t address, uint32_t count) {
  return _fillCommand(kWriteFile, address, kFormat32, count);
}

std::vector<uint8_t> SDPLoader::_createJumpPacket(uint32_t address) {
  return _fillCommand(kJumpAddress, address, 0, 0);
}

std::vector<uint8_t> SDPLoader::_create4ByteReadRegisterPacket(uint32_t address) {
  return _fillCommand(kReadRegister, address, kFormat32, 4);
}

void SDPLoader::_printBuffer(const std::vector<uint8_t>& bytes) {
  if (!Log::IsActive(DEBUG_iMXSerial))
    return;
  // The log cuts a line at 2047 characters; a data packet dumps to about 3000.
  std::string text;
  char item[4];
  for (uint8_t byte : bytes) {
    snprintf(item, sizeof(item), "%X ", byte);
    text += item;
    if (text.size() > 1900) {
      Log::log(DEBUG_iMXSerial, "%s", text.c_str());
      text.clear();
    }
  }
  Log::log(DEBUG_iMXSerial, "%s\n", text.c_str());
}

ssize_t SDPLoader::_send(const std::vector<uint8_t>& packet, const char* format) {
  // A reply that came after its window is no answer to this command.
  _dropStale();
  ssize_t written = transport->writeData(packet);
  Log::log(DEBUG_iMXSerial, format, written);
  _printBuffer(packet);
  return written;
}

void SDPLoader::_dropStale() {
  std::vector<uint8_t> stale;
  for (unsigned look = 0; look < kStaleLooks && transport->readData(stale, 0) > 0; look++) {
  }
  if (stale.empty())
    return;
  Log::log(DEBUG_iMXSerial, "SDP: dropped %zu stale bytes before the command\n", stale.size());
  _printBuffer(stale);
}

void SDPLoader::_awaitLateReplies(unsigned unanswered) {
  std::vector<uint8_t> late;
  for (unsigned i = 0; i < unanswered && transport->readData(late, kReplyTimeoutMS) > 0; i++) {
  }
  Log::log(DEBUG_iMXSerial, "SDP: %u status requests went unanswered in time; dropped %zu late bytes\n", unanswered,
           late.size());
  _printBuffer(late);
}

std::vector<uint8_t> SDPLoader::_receive(unsigned timeout_ms, const char* format) {
  std::vector<uint8_t> reply;
  ssize_t count = transport->readData(reply, timeout_ms);
  Log::log(DEBUG_iMXSerial, format, count);
  _printBuffer(reply);
  return reply;
}

bool SDPLoader::_expectResponse(const std::vector<uint8_t>& reply) {
  unsigned word = 0;
  return transport->getDataFromBuffer(reply, 0, word);
}

bool SDPLoader::_expectSuccess(const std::vector<uint8_t>& reply) {
  unsigned word = 0;
  return transport->getDataFromBuffer(reply, 0, word) && word == kWriteComplete;
}

int SDPLoader::_isConnectionAlive() {
  bool heardSomething = false;
  for (unsigned attempt = 0; attempt < kStatusAttempts; attempt++) {
    std::vector<uint8_t> packet = _createStatusPacket();
    _dropStale();
    ssize_t written = transport->writeData(packet);
    Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", static_cast<size_t>(written));
    _printBuffer(packet);
    std::vector<uint8_t> reply = _receive(kReplyTimeoutMS, "Read Data: %zd\n");
    if (_expectResponse(reply)) {
      // The answer may be a late one to an earlier request, whose own answer
      // is then still to come: it must not pass for the next command's.
      if (attempt > 0)
        _awaitLateReplies(attempt);
      return 0;
    }
    heardSomething = heardSomething || !reply.empty();
  }
  Log::log(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
  return heardSomething ? NOT_SDP : NO_ANSWER;
}

int SDPLoader::writeLoader(std::vector<uint8_t> payload, unsigned address) {
  if (!transport)
    return NO_ANSWER;
  if (int alive = _isConnectionAlive())
    return alive;
  std::vector<uint8_t> command = _createWriteFilePacket(address, static_cast<uint32_t>(payload.size()));
  // Transports count either the whole packet (HID) or the packet without its report ID (serial).
  if (_send(command, "Write Res: %zd\n") < static_cast<ssize_t>(command.size()) - 1) {
    Log::log(DEBUG_iMXSerial, "Write file command not sent. Aborting\n");
    return NOT_CONFIRMED;
  }
  int total = 0;
  size_t tell = 0;
  for (int loop = 0; tell < payload.size(); loop++) {
    if (!_receive(0, "Read Data: %zd\n").empty()) {
      Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
      return DATA_DURING_WRITE;
    }
    size_t take = std::min(kDataChunk, payload.size() - tell);
    std::vector<uint8_t> packet(take + 1);
    packet[0] = kDataReport;
    std::copy(payload.begin() + tell, payload.begin() + tell + take, packet.begin() + 1);
    tell += take;
    ssize_t written = transport->writeData(packet);
    if (written > 0)
      total += static_cast<int>(written);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n", written, total, loop,
             static_cast<long>(tell), static_cast<ssize_t>(packet.size()));
    // A packet that did not go out whole leaves the ROM waiting for bytes that never come.
    if (written < static_cast<ssize_t>(packet.size()) - 1) {
      Log::log(DEBUG_iMXSerial, "Data packet %d not sent (%zd of %zu bytes). Aborting\n", loop, written,
               packet.size());
      return NOT_CONFIRMED;
    }
  }
  Log::log(DEBUG_iMXSerial, "Written Bytes: %d\n", total);
  std::vector<uint8_t> reply;
  transport->readData(reply, kReplyTimeoutMS);
  Log::log(DEBUG_iMXSerial, "Data Read: \n");
  _printBuffer(reply);
  if (_expectSuccess(reply)) {
    Log::log(DEBUG_iMXSerial, "Loader Transfer Successful\n");
    return 0;
  }
  Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
  return NOT_CONFIRMED;
}

void SDPLoader::startLoader(unsigned address) {
  if (!transport)
    return;
  _send(_createJumpPacket(address), "Write Res: %zd\n");
  // The ROM answers only when the jump fails; the loader says nothing here.
  std::vector<uint8_t> reply;
  transport->readData(reply, kReplyTimeoutMS);
}

bool SDPLoader::_readRegister(uint32_t address, unsigned& value) {
  _send(_create4ByteReadRegisterPacket(address), "Write Res: %zd\n");
  value = 0;
  return transport->getDataFromBuffer(_receive(kReplyTimeoutMS, "Read Data: %zd\n"), 0, value);
}

int SDPLoader::getFingerprint(uint64_t& value) {
  if (!transport)
    return NO_ANSWER;
  if (int alive = _isConnectionAlive())
    return alive;
  unsigned low = 0, high = 0;
  if (!_readRegister(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG0_OFFSET, low) ||
      !_readRegister(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG1_OFFSET, high))
    return UNREADABLE_REPLY;
  value = (static_cast<uint64_t>(high) << 32) | low;
  return 0;
}
