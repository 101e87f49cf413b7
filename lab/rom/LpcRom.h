// The lab's NXP LPC17xx boot ROM in ISP mode: the command interpreter alone,
// fed byte by byte and answering into an output queue. Written from NXP's
// published ISP protocol for the LPC17xx family (UM10360, chapter "Flash memory
// interface and programming"), apart from the updater's client, so the lab
// does not check the updater against itself. The pseudo-terminal, the line
// rate and the clock belong to the driver (LabLpcMain.cpp).
#pragma once
#include <cstdint>
#include <set>
#include <string>
#include <vector>

struct LpcRomOptions {
  // The ISP device serial number ("N"), word 0 first: the recovery fingerprint.
  uint32_t serial[4] = {0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978};
  uint32_t partId = 0x26013F37;  // LPC1768: 512 KB flash, 64 KB RAM
  unsigned bootMajor = 4, bootMinor = 1;
  uint32_t ramSeed = 0x5EED1234;  // RAM holds arbitrary bytes after reset

  // Fault knobs.
  std::set<unsigned> resendBlocks;  // W checksums answered RESEND, counted from 1
  struct ForcedCode {
    char command = 0;       // ISP command letter
    int code = 0;           // return code sent instead of the real one
    unsigned occurrence = 0;  // the n-th such command (from 1), 0 = every one
  };
  std::vector<ForcedCode> forced;
  bool silent = false;  // the chip never sends anything
  char hangCommand = 0;  // on this command the chip stops answering for good
  unsigned hangOccurrence = 0;  // 0 = the first
  unsigned eraseMs = 0;  // E takes this long before it answers
  unsigned copyMs = 0;   // C takes this long before it answers
  bool noEcho = false;   // never echoes, whatever "A" says
  unsigned corruptCopy = 0;  // the n-th successful C (from 1) leaves one wrong bit
  bool babble = false;   // the line carries an endless stream of bytes with no line end (driver's side)
  // The chip starts as a host left it when stopped in the middle of a write:
  // synchronised at 115200, echo off, a "W" taken and part of its data lines.
  bool midWrite = false;
};

class LpcRom {
public:
  static constexpr uint32_t kFlashSize = 0x80000;
  static constexpr unsigned kSectors = 30;
  static constexpr uint32_t kRamBase = 0x10000000, kRamSize = 0x8000;
  static constexpr uint32_t kAhbRamBase = 0x2007C000, kAhbRamSize = 0x8000;
  static constexpr uint32_t kBootRomBase = 0x1FFF0000, kBootRomSize = 0x2000;
  static constexpr uint32_t kRemappedBytes = 64;  // flash 0..63 reads as boot ROM in ISP mode
  static constexpr unsigned kLineBytes = 45, kLinesPerChecksum = 20;

  enum class State { AwaitSync, AwaitSyncWord, AwaitCrystal, Command, WriteData, ReadData, Running, Hung };

  struct Output {
    std::string bytes;
    unsigned baud = 0;        // the rate at which the chip sends them
    double notBeforeMs = 0;   // not on the wire before this time
  };

  explicit LpcRom(const LpcRomOptions& options);
  // The bytes of the endless stream the babble knob puts on the line: no CR, no LF.
  static std::string BabbleBytes(size_t count);

  // One byte that reached the chip's UART while the host sent at lineBaud.
  // A byte sent at another rate than the chip's arrives garbled.
  void Receive(uint8_t byte, unsigned lineBaud, double nowMs);
  std::vector<Output> TakeOutput();
  // The chip takes no byte before this time (a slow erase or copy).
  double BusyUntilMs() const { return busyUntil; }
  unsigned Baud() const { return baud; }
  State GetState() const { return state; }
  bool Echo() const { return echo && !options.noEcho; }

  const std::vector<uint8_t>& Flash() const { return flash; }
  void SetFlash(const std::vector<uint8_t>& bytes);
  // Every command received, with its return code, as a JSON document.
  std::string AccountJson() const;
  unsigned Copies() const { return copies; }

  // Sector of a flash address (kSectors beyond the flash); start and size of a sector.
  static unsigned SectorOf(uint32_t address);
  static uint32_t SectorStart(unsigned sector);
  static uint32_t SectorSize(unsigned sector);
  // uuencoding as the ISP uses it: a count character, then 4 characters per 3 bytes.
  static std::string UuEncodeLine(const uint8_t* data, size_t count);
  static std::vector<uint8_t> UuDecodeLine(const std::string& line);

private:
  struct Event {
    double atMs;
    std::string what;  // the command line, or a data event
    int code;          // return code, -1 when none was sent
  };

  void Send(const std::string& bytes, double notBefore = 0);
  void SendCode(int code, double notBefore = 0);
  void Line(const std::string& line, double nowMs);
  // One command line, taken apart: the letter and its numeric arguments.
  struct Answer;
  struct Request {
    std::string text;
    double now = 0;
    std::vector<std::string> words;
    char letter = 0;
    std::vector<uint32_t> n;  // the numeric arguments
    bool numeric = true;      // all of them were numbers
    bool args(size_t count) const { return numeric && n.size() == count; }
    Answer Reply(int code, std::string extra = "") const;
  };
  // The return code, lines that follow it and when; `sent` when the command answered itself.
  struct Answer {
    int code;
    std::string extra;
    double at;
    bool sent;
  };

  void Command(const std::string& line, double nowMs);
  Request ParseRequest(const std::string& text, double now) const;
  Answer Dispatch(const Request& r);
  Answer SucceedNow(const Request& r);
  Answer Unlock(const Request& r);
  Answer SetBaud(const Request& r);
  Answer SetEcho(const Request& r);
  Answer StartTransfer(const Request& r);
  Answer Prepare(const Request& r);
  Answer Erase(const Request& r);
  Answer BlankCheck(const Request& r);
  Answer CopyToFlash(const Request& r);
  Answer Go(const Request& r);
  Answer Identify(const Request& r, const std::string& lines);
  Answer Compare(const Request& r);
  bool Prepared(unsigned first, unsigned last) const;
  void Program(uint32_t address, const uint8_t* src, uint32_t count);
  void WriteDataLine(const std::string& line, double nowMs);
  void ReadDataAnswer(const std::string& line, double nowMs);
  void SendReadBlock();
  // A forced return code for this command, or -1.
  int Forced(char command);
  bool HangsOn(char command);
  // Pointer to `count` bytes at `address` of a region where the command may act, else null.
  uint8_t* Ram(uint32_t address, uint32_t count);
  // The bytes a read of `count` at `address` sees (flash 0..63 is the boot ROM's); false when unmapped.
  bool ReadBytes(uint32_t address, uint32_t count, std::vector<uint8_t>& out);
  void Record(double atMs, const std::string& what, int code);
  void StartMidWrite();

  LpcRomOptions options;
  State state = State::AwaitSync;
  unsigned baud = 0;
  double busyUntil = 0;
  double nowMs = 0;
  bool echo = true;
  bool unlocked = false;
  std::string line;
  std::vector<uint8_t> flash;
  std::vector<uint8_t> ram, ahbRam, bootRom;
  std::vector<bool> prepared;
  std::vector<Output> output;
  std::vector<Event> events;
  std::vector<unsigned> commandCounts = std::vector<unsigned>(128, 0);
  unsigned copies = 0;
  unsigned checksums = 0;
  // The data phase of W and R.
  uint32_t dataAddress = 0, dataCount = 0, dataDone = 0, blockStart = 0;
  unsigned blockLines = 0;
  uint32_t blockSum = 0;
  bool awaitChecksum = false;
  std::string runningAt;
};
