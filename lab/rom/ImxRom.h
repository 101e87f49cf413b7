// The lab's i.MX RT1050 boot ROM in serial download mode: the command state
// machine alone, apart from its framing. Written from NXP's published Serial
// Download Protocol (i.MX RT1050 reference manual, chapter "System Boot"),
// apart from the updater's client, so the lab does not check the updater
// against itself. The UART and HID framings belong to ImxChip.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace lab {

// The security-mode word the ROM sends before every response. The lab chip is
// an open (development) part; NXP's ROMs send 0x12343412 when HAB is closed.
constexpr uint32_t kImxHabOpen = 0x56787856;
constexpr uint32_t kImxAck = 0xF0F0F0F0;             // status after a command that went well
constexpr uint32_t kImxWriteComplete = 0x88888888;   // end of a write-file's data
// Lab choice, not a ROM constant: the status after a command the ROM refused
// (no RAM at the address, an unknown command).
constexpr uint32_t kImxRefused = 0x0BADC0DE;

constexpr uint32_t kImxFuseCfg0 = 0x401F4410, kImxFuseCfg1 = 0x401F4420;

struct ImxRomOptions {
  // The chip's unique identity: words 0 and 1 are the fuse words CFG0 and
  // CFG1; a lab loader that carries no identity of its own reports all four.
  uint32_t identity[4] = {0x1A2B3C4D, 0x5E6F7081, 0x92A3B4C5, 0xD6E7F809};

  // Fault knobs.
  unsigned answerStatusFrom = 1;  // the first status request answered (counted from 1); 0 = none
  bool chatter = false;           // sends a security word while a write-file's data still comes
  bool noCompletion = false;      // ends a write-file with the security word alone
  uint32_t completionWord = kImxWriteComplete;
  bool hideLoader = false;        // a started loader never shows up on USB
};

// A lab recovery loader, as `updater-lab imx-loader` writes it: a header at the
// start address, then `length` body bytes; all words little-endian, as in
// firmware images. The loader joins the USB bus under `serial` and answers
// `identity` (the chip's own when all zero) for option 39.
struct ImxLabLoader {
  static constexpr char kMagic[8] = {'K', 'L', 'A', 'B', 'I', 'M', 'X', 'L'};
  static constexpr size_t kHeaderSize = 44;  // magic, length, serial, model, identity[4], build, sum
  uint32_t length = 0;
  uint32_t serial = 0xDEADDEAD;
  uint32_t model = 17;
  uint32_t identity[4] = {0, 0, 0, 0};
  uint32_t build = 1;

  // Header and body; `body` filler bytes follow the header. The sum (last
  // header word) is the byte sum of everything else.
  std::vector<uint8_t> encode(uint32_t bodyBytes) const;
  // False unless `bytes` start with an intact loader (magic, length, sum).
  static bool decode(const uint8_t* bytes, size_t available, ImxLabLoader& loader);
};

// One piece of what the ROM sends: over HID each becomes its own report.
struct ImxReplyPiece {
  enum Kind { Security, Response } kind;
  std::vector<uint8_t> bytes;
};

class ImxRom {
public:
  enum class State { Idle, WriteData, Running, Hung };

  // RAM that SDP may write and read: the FlexRAM banks in their reset layout.
  struct Region {
    uint32_t base, size;
    const char* name;
  };
  static const Region kRegions[3];
  static constexpr size_t kCommandSize = 16;

  explicit ImxRom(const ImxRomOptions& options);

  // One 16-byte command block.
  void command(const uint8_t* block, std::vector<ImxReplyPiece>& out);
  // Bytes of a write-file's data phase (the framing passes no more than
  // dataLeft()).
  void data(const uint8_t* bytes, size_t count, std::vector<ImxReplyPiece>& out);
  // After a reset of the chip (the loader ended): serial download mode again.
  void reset();

  State state() const { return state_; }
  // Data bytes still expected in the write-file phase.
  uint32_t dataLeft() const { return dataCount_ - dataDone_; }
  // The loader the last jump started (valid in the Running state).
  bool loaderStarted(ImxLabLoader& loader) const;
  // RAM as written; false when [address, address+count) is not RAM.
  bool readRam(uint32_t address, uint32_t count, std::vector<uint8_t>& out) const;
  // Every command received, one line each ("write-file 0x20000000 3000 ok").
  const std::vector<std::string>& account() const { return account_; }
  unsigned statusRequests() const { return statusRequests_; }
  const ImxRomOptions& options() const { return options_; }

private:
  uint8_t* ram(uint32_t address, uint32_t count);
  void respond(uint32_t word, std::vector<ImxReplyPiece>& out);
  void security(std::vector<ImxReplyPiece>& out);
  void readRegister(uint32_t address, uint32_t count, std::vector<ImxReplyPiece>& out);
  void jump(uint32_t address, std::vector<ImxReplyPiece>& out);
  void note(const std::string& line);

  ImxRomOptions options_;
  State state_ = State::Idle;
  std::vector<std::vector<uint8_t>> banks_;
  uint32_t status_ = kImxAck;
  unsigned statusRequests_ = 0;
  uint32_t dataAddress_ = 0, dataCount_ = 0, dataDone_ = 0;
  bool dataRefused_ = false, chattered_ = false;
  ImxLabLoader loader_;
  std::vector<std::string> account_;
};

}  // namespace lab
