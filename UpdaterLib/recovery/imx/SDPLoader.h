// Serial Download Protocol client for the i.MX RT1050 boot ROM: builds the
// command packets and runs the exchanges that place a recovery loader in RAM
// and start it. The bytes travel through an SDPLoader_Interface (USB HID or
// a serial port).
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "aBytes.h"

namespace IMX1050 {
constexpr uint32_t OCOTP_BASE_ADDRESS = 0x401F4000;
// The fuse words that identify the chip.
constexpr uint32_t CFG0_OFFSET = 0x410;
constexpr uint32_t CFG1_OFFSET = 0x420;
// The boot ROM's USB HID identity.
constexpr uint16_t VID = 0x1FC9;
constexpr uint16_t PID = 0x0130;
// Where the loader starts when its image names no start address.
constexpr uint32_t DEFAULT_IMX_LOADER_IVT_ADDRESS = 0x20000400;
}  // namespace IMX1050

// A byte transport to the boot ROM. Packets handed to writeData begin with
// their HID report ID (1 command, 2 data).
class SDPLoader_Interface {
public:
  virtual ~SDPLoader_Interface() = default;
  virtual bool init() = 0;
  // Bytes written, or a negative count on failure.
  virtual ssize_t writeData(const std::vector<uint8_t>& packet) = 0;
  // Appends what arrives within timeout_ms (0: only what is there already); the count appended.
  virtual ssize_t readData(std::vector<uint8_t>& reply, unsigned timeout_ms) = 0;
  // ORs the little-endian word at `offset` after the security-mode word into
  // value; false when the reply has no such word.
  virtual bool getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned offset, unsigned& value) = 0;
  // After a failed init: true when the device was there but refused to the
  // user, which the transport has said already in a line of its own.
  virtual bool accessDenied() const { return false; }

protected:
  static void orWordLE(const uint8_t* at, unsigned& value) { value |= aBytes_GetLE32(at); }
};

class SDPLoader {
public:
  // Results of writeLoader and getFingerprint besides 0.
  enum Result {
    NO_ANSWER = 2,          // the status request went unanswered five times
    DATA_DURING_WRITE = 3,  // the ROM spoke between data packets
    NOT_CONFIRMED = 4,      // no completion word, or the data did not go out
    UNREADABLE_REPLY = 7,   // a register reply without a word
    NOT_SDP = 8,            // the port answered the status requests only with bytes that are no reply
  };
  static constexpr unsigned kStatusAttempts = 5;
  static constexpr unsigned kReplyTimeoutMS = 100;
  static constexpr size_t kDataChunk = 1024;
  // Looks at what has arrived before a command: bounds the drop on a port that never stops sending.
  static constexpr unsigned kStaleLooks = 16;

  SDPLoader() = default;
  ~SDPLoader();
  SDPLoader(const SDPLoader&) = delete;
  SDPLoader& operator=(const SDPLoader&) = delete;

  // Takes a non-null transport when none is set yet; a refused one is released.
  bool setLoader(std::unique_ptr<SDPLoader_Interface> loader);
  // 0, aErrMemory without a transport, aErrIO when the transport does not open.
  int init();
  // After a failed init: the transport said the user may not open the device.
  bool accessDenied() const { return transport && transport->accessDenied(); }
  int writeLoader(std::vector<uint8_t> payload, unsigned address);
  void startLoader(unsigned address);
  // CFG0 in the low 32 bits, CFG1 in the high.
  int getFingerprint(uint64_t& value);

private:
  // 0, NO_ANSWER or NOT_SDP.
  int _isConnectionAlive();
  // Drops what has arrived, then sends the command.
  ssize_t _send(const std::vector<uint8_t>& packet, const char* format);
  void _dropStale();
  // After `unanswered` status requests went unanswered in time: their answers, if any come, are dropped.
  void _awaitLateReplies(unsigned unanswered);
  std::vector<uint8_t> _receive(unsigned timeout_ms, const char* format);
  bool _readRegister(uint32_t address, unsigned& value);
  static std::vector<uint8_t> _fillCommand(uint16_t command, uint32_t address, uint8_t format, uint32_t count);
  bool _expectResponse(const std::vector<uint8_t>& reply);
  bool _expectSuccess(const std::vector<uint8_t>& reply);
  static std::vector<uint8_t> _createStatusPacket();
  static std::vector<uint8_t> _createWriteFilePacket(uint32_t address, uint32_t count);
  static std::vector<uint8_t> _createJumpPacket(uint32_t address);
  static std::vector<uint8_t> _create4ByteReadRegisterPacket(uint32_t address);
  static void _printBuffer(const std::vector<uint8_t>& bytes);

  std::unique_ptr<SDPLoader_Interface> transport;
};
