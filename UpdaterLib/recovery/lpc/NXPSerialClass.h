// The host side of the NXP LPC17xx boot-ROM in-system-programming (ISP)
// protocol over a serial port: whole return codes, waits sized to the command
// (long for an erase), replies awaited by deadline from the line rate instead
// of fixed sleeps, a chip already in ISP command mode recognised, and the ISP
// compare command for read-back.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "aError.h"
#include "aTime.h"

struct aStream;

class NXPSerialClass {
public:
  static const unsigned MAX_BYTES_PER_LINE = 45;
  static const unsigned LINES_PER_CHECKSUM = 20;
  static const unsigned MAX_READ_RETRY = 3;
  static const unsigned WRITE_ADDRESS = 0x10001000;
  static const float CRYSTAL_DEFAULT;  // MHz
  static const int MAX_ERROR = 20;
  static const char* const ERROR_TEXT[MAX_ERROR + 1];
  static const unsigned FLASH_SIZE = 0x80000;
  // Flash 0..63 reads as the boot ROM while the chip is in ISP mode, so a
  // compare over it is meaningless (NXP's note on the ISP compare command).
  static const unsigned REMAPPED_BYTES = 64;

  struct Sector {
    uint32_t start;
    uint32_t length;
    uint32_t number;
  };
  static const Sector NXP_LPC17XX_sectors[];

  NXPSerialClass();
  ~NXPSerialClass();
  NXPSerialClass(const NXPSerialClass&) = delete;
  NXPSerialClass& operator=(const NXPSerialClass&) = delete;

  // How many rates Connect knows (2400 to 230400).
  static const size_t RATE_COUNT = 8;
  aErr Connect(const char* port, unsigned baud);
  // The rate Connect uses for a requested one: the first of 2400 ... 230400
  // that is at least the request; 9600 above 230400.
  static unsigned RateFor(unsigned requested);
  aErr Disconnect();

  // Autobaud handshake; also recognises a chip left in ISP command mode.
  aErr Sync();
  // Only looks for a chip left in ISP command mode at the port's rate (no
  // autobaud "?", no resync); echo on when found, else aErrTimeout.
  aErr Resume();
  aErr GetDeviceID();
  aErr ExecuteFrom(unsigned address);
  aErr SetEcho(bool on);
  aErr SetBaudRate(unsigned baud);
  // SetBaudRate, then reopens the port at the new rate.
  aErr ChangeBaudRate(unsigned baud);
  aErr Unlock();
  aErr Prepare(unsigned first, unsigned last);
  aErr Erase(unsigned first, unsigned last);
  aErr Read(unsigned address, unsigned count, uint8_t* out);
  aErr Write(unsigned address, unsigned count, const uint8_t* data);
  aErr CopyToFlash(unsigned flash, unsigned ram, unsigned count);
  // ISP "M": aErrNone when equal; aErrParam with the chip's offset of the
  // first difference in *mismatch (when given) when not.
  aErr Compare(unsigned address1, unsigned address2, unsigned count, uint32_t* mismatch = nullptr);

  static unsigned CopyLength(unsigned count);
  static unsigned SectorFromAddress(unsigned address);
  static uint32_t sum(const uint8_t* data, unsigned count);
  static char uuchar(unsigned value);
  // Writes one NUL-terminated line (room for 62 characters) of at most 45
  // bytes; returns the number of bytes consumed.
  static size_t uuencode(char* line, const uint8_t* data, size_t count);
  // Returns the line's byte count, or 0 when it exceeds room or the line is short.
  static size_t uudecode(uint8_t* out, size_t room, const char* line);
  // The whole return code of a reply line: digits only (blanks around them allowed).
  static bool ParseReturnCode(const char* line, int* code);
  static const char* GetErrorText(const char* reply);
  static const char* CodeText(int code);

  // The copy window for the image bytes that start at `address`, `remaining`
  // of them: a 256-aligned flash base, an allowed copy length that fits the
  // flash, and how many image bytes it takes. False beyond the flash.
  static bool PlanPiece(uint32_t address, uint32_t remaining, uint32_t* base, uint32_t* copyLength,
                        uint32_t* take);

  // Longer than any line the boot ROM sends (a data line is 61 characters).
  static const size_t MAX_LINE_BYTES = 256;
  // Batches of "0" lines Resync sends at most: enough for a write of the whole RAM.
  static const unsigned RESYNC_BATCHES = 128;
  // The port may hold an i.MX boot ROM instead, which takes every 16 bytes on
  // its UART as one Serial Download Protocol command. Resync pads what the
  // handshake sends at one rate to whole blocks of this size, so such a ROM
  // stays aligned for the SDP that follows (none of the blocks is a valid
  // command: they begin with "?\r", "0\r", "\r\n" or "\n0").
  static const size_t SDP_BLOCK_BYTES = 16;
  // What is kept of the bytes received since Connect.
  static const size_t MAX_HEARD_BYTES = 512;

  // Wait bounds, in ms beyond the time the bytes need on the wire.
  static const unsigned REPLY_MARGIN_MS = 250;
  static const unsigned SYNC_MARGIN_MS = 400;
  static const unsigned CHECKSUM_MARGIN_MS = 1000;
  static const unsigned COPY_MARGIN_MS = 1000;
  static const unsigned ERASE_BASE_MS = 1000;
  static const unsigned ERASE_PER_SECTOR_MS = 250;
  static unsigned EraseWaitMs(unsigned first, unsigned last);

  unsigned Baud() const { return baud; }
  bool Echo() const { return echo; }
  const uint32_t* DeviceID() const { return deviceId; }
  // The return code of the last command that answered one (-1 when none did).
  int LastReturnCode() const { return lastCode; }
  // True when Sync found the chip already in ISP command mode.
  bool ResumedCommandMode() const { return resumed; }
  // The first MAX_HEARD_BYTES bytes received since Connect, whatever they were.
  const std::string& Heard() const { return heard; }

private:
  aErr WriteBytes(const std::string& bytes);
  // One line without its CR LF; aErrTimeout when none is complete by the
  // deadline, aErrIO when MAX_LINE_BYTES pass without a line end.
  aErr ReadLine(std::string& line, aDeadline deadline);
  // The next complete line already read, if any.
  bool TakeLine(std::string& line);
  aDeadline Deadline(size_t replyBytes, unsigned marginMs) const;
  // Sends "text\r\n", skips its echo, reads and checks the return code, then
  // `extra` more lines into *lines.
  aErr Command(const std::string& text, unsigned marginMs, size_t extra = 0, std::vector<std::string>* lines = nullptr);
  aErr Probe(bool& commandMode);
  // Brings a chip left in the middle of a command's data lines back to command mode.
  aErr Resync(bool& commandMode);
  // Write's steps: one block of uuencoded lines and its checksum (the lines in
  // `sent`, the image offset after them in `end`), then the chip's answer past its echo.
  aErr SendDataBlock(const uint8_t* data, unsigned from, unsigned count, std::vector<std::string>& sent,
                     unsigned& end);
  aErr AwaitBlockAnswer(const std::vector<std::string>& sent, std::string& answer);

  aStream* stream = nullptr;
  bool echo = true;
  unsigned baud = 0;
  std::string port;
  uint32_t deviceId[4] = {0, 0, 0, 0};
  int lastCode = -1;
  bool resumed = false;
  uint64_t lineFreeAtUS = 0;  // monotonic time when the bytes written so far have left the port
  std::string pending;           // bytes read past the last line
  std::string heard;     // the first MAX_HEARD_BYTES bytes received since Connect
  uint64_t sentBytes = 0;  // bytes written since Connect
};
