#include "rom/LpcRom.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Bytes.h"
#include "Numbers.h"

namespace {

// ISP return codes (UM10360, "ISP Return Codes").
enum Code {
  CMD_SUCCESS = 0,
  INVALID_COMMAND = 1,
  SRC_ADDR_ERROR = 2,
  DST_ADDR_ERROR = 3,
  SRC_ADDR_NOT_MAPPED = 4,
  DST_ADDR_NOT_MAPPED = 5,
  COUNT_ERROR = 6,
  INVALID_SECTOR = 7,
  SECTOR_NOT_BLANK = 8,
  SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION = 9,
  COMPARE_ERROR = 10,
  ADDR_ERROR = 13,
  ADDR_NOT_MAPPED = 14,
  CMD_LOCKED = 15,
  INVALID_CODE = 16,
  INVALID_BAUD_RATE = 17,
  INVALID_STOP_BIT = 18,
  PARAM_ERROR = 12,
};

const uint32_t kUnlockCode = 23130;

void sFill(std::vector<uint8_t>& bytes, uint32_t seed) {
  uint32_t state = seed ? seed : 1;
  for (uint8_t& b : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    b = static_cast<uint8_t>(state >> 24);
  }
}

std::vector<std::string> sWords(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ')
      i++;
    size_t start = i;
    while (i < line.size() && line[i] != ' ')
      i++;
    if (i > start)
      words.push_back(line.substr(start, i - start));
  }
  return words;
}

// Decimal digits only, as the ISP reads its numbers (no "0x"); at most 32 bits.
bool sNumber(const std::string& text, uint32_t& value) {
  if (text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  return lab::ParseNumber(text, 10, value);
}

std::string sJsonText(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof(hex), "\\u%04x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

const char* sStateName(LpcRom::State state) {
  switch (state) {
    case LpcRom::State::AwaitSync: return "await-sync";
    case LpcRom::State::AwaitSyncWord: return "await-sync-word";
    case LpcRom::State::AwaitCrystal: return "await-crystal";
    case LpcRom::State::Command: return "command";
    case LpcRom::State::WriteData: return "write-data";
    case LpcRom::State::ReadData: return "read-data";
    case LpcRom::State::Running: return "running";
    case LpcRom::State::Hung: return "hung";
  }
  return "?";
}

char sUuChar(unsigned v) {
  v &= 0x3F;
  return v ? static_cast<char>(32 + v) : '`';
}

}  // namespace

LpcRom::LpcRom(const LpcRomOptions& opts)
    : options(opts),
      flash(kFlashSize),
      ram(kRamSize),
      ahbRam(kAhbRamSize),
      bootRom(kBootRomSize),
      prepared(kSectors, false) {
  // A module whose firmware is gone: the flash holds whatever it held.
  sFill(flash, options.ramSeed ^ 0xF1A5F1A5u);
  sFill(ram, options.ramSeed);
  sFill(ahbRam, options.ramSeed ^ 0xA5A5A5A5u);
  sFill(bootRom, 0xB007B007u);
  if (options.midWrite)
    StartMidWrite();
}

void LpcRom::StartMidWrite() {
  baud = 115200;
  echo = false;
  unlocked = true;
  state = State::WriteData;
  dataAddress = kRamBase + 0x1000;
  dataCount = 4096;
  // Seven lines of the first block had arrived; their sum is whatever they held.
  blockLines = 7;
  dataDone = 7 * kLineBytes;
  blockStart = 0;
  blockSum = 0x1234;
  awaitChecksum = false;
  Record(0, "W " + std::to_string(dataAddress) + " 4096 (left half-sent at start)", CMD_SUCCESS);
}

std::string LpcRom::BabbleBytes(size_t count) {
  std::string bytes(count, ' ');
  for (size_t i = 0; i < count; i++)
    bytes[i] = static_cast<char>('A' + i % 26);
  return bytes;
}

void LpcRom::SetFlash(const std::vector<uint8_t>& bytes) {
  std::fill(flash.begin(), flash.end(), 0xFF);
  std::copy(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), flash.size()), flash.begin());
}

unsigned LpcRom::SectorOf(uint32_t address) {
  if (address < 0x10000)
    return address / 0x1000;
  if (address < kFlashSize)
    return 16 + (address - 0x10000) / 0x8000;
  return kSectors;
}

uint32_t LpcRom::SectorStart(unsigned sector) {
  return sector < 16 ? sector * 0x1000 : 0x10000 + (sector - 16) * 0x8000;
}

uint32_t LpcRom::SectorSize(unsigned sector) { return sector < 16 ? 0x1000 : 0x8000; }

std::string LpcRom::UuEncodeLine(const uint8_t* data, size_t count) {
  std::string line(1, sUuChar(static_cast<unsigned>(count)));
  for (size_t i = 0; i < count; i += 3) {
    uint32_t group = 0;
    for (size_t k = 0; k < 3; k++)
      group = (group << 8) | (i + k < count ? data[i + k] : 0);
    for (int shift = 18; shift >= 0; shift -= 6)
      line += sUuChar(group >> shift);
  }
  return line;
}

std::vector<uint8_t> LpcRom::UuDecodeLine(const std::string& text) {
  std::vector<uint8_t> out;
  if (text.empty())
    return out;
  size_t count = (static_cast<unsigned char>(text[0]) - 32) & 0x3F;
  size_t pos = 1;
  while (out.size() < count) {
    uint32_t group = 0;
    for (int k = 0; k < 4; k++, pos++) {
      unsigned char c = pos < text.size() ? static_cast<unsigned char>(text[pos]) : '`';
      group = (group << 6) | ((c - 32) & 0x3F);
    }
    for (int shift = 16; shift >= 0 && out.size() < count; shift -= 8)
      out.push_back(static_cast<uint8_t>(group >> shift));
  }
  return out;
}

void LpcRom::Send(const std::string& bytes, double notBefore) {
  if (options.silent)
    return;
  output.push_back(Output{bytes, baud, std::max(notBefore, nowMs)});
}

void LpcRom::SendCode(int code, double notBefore) { Send(std::to_string(code) + "\r\n", notBefore); }

std::vector<LpcRom::Output> LpcRom::TakeOutput() {
  std::vector<Output> out;
  out.swap(output);
  return out;
}

void LpcRom::Record(double atMs, const std::string& what, int code) { events.push_back(Event{atMs, what, code}); }

void LpcRom::Receive(uint8_t byte, unsigned lineBaud, double now) {
  nowMs = now;
  if (state == State::Hung || state == State::Running)
    return;
  if (state == State::AwaitSync) {
    // Autobaud: the chip measures the rate of the "?" it is sent.
    if (byte == '?') {
      baud = lineBaud;
      echo = true;
      line.clear();
      Record(now, "? (autobaud at " + std::to_string(lineBaud) + ")", -1);
      Send("Synchronized\r\n");
      state = State::AwaitSyncWord;
    }
    return;
  }
  // A byte sent at another rate is sampled wrongly: it arrives garbled.
  if (lineBaud != baud)
    byte = static_cast<uint8_t>((byte ^ 0x5A) | 0x80);
  if (Echo())
    Send(std::string(1, static_cast<char>(byte)));
  if (byte == '\n') {
    std::string complete;
    complete.swap(line);
    if (!complete.empty() && complete.back() == '\r')
      complete.pop_back();
    Line(complete, now);
  } else if (line.size() < 256) {
    line += static_cast<char>(byte);
  }
}

void LpcRom::Line(const std::string& text, double now) {
  switch (state) {
    case State::AwaitSyncWord:
      if (text == "Synchronized") {
        Send("OK\r\n");
        state = State::AwaitCrystal;
      } else {
        Record(now, "handshake: unexpected [" + text + "], back to autobaud", -1);
        state = State::AwaitSync;
      }
      return;
    case State::AwaitCrystal: {
      uint32_t khz = 0;
      if (sNumber(text, khz)) {
        Send("OK\r\n");
        Record(now, "crystal " + text + " kHz", -1);
        state = State::Command;
      } else {
        Record(now, "handshake: bad crystal [" + text + "], back to autobaud", -1);
        state = State::AwaitSync;
      }
      return;
    }
    case State::Command: Command(text, now); return;
    case State::WriteData: WriteDataLine(text, now); return;
    case State::ReadData: ReadDataAnswer(text, now); return;
    default: return;
  }
}

int LpcRom::Forced(char command) {
  unsigned n = commandCounts[static_cast<unsigned char>(command) & 0x7F];
  for (const LpcRomOptions::ForcedCode& f : options.forced)
    if (f.command == command && (f.occurrence == 0 || f.occurrence == n))
      return f.code;
  return -1;
}

bool LpcRom::HangsOn(char command) {
  if (!options.hangCommand || options.hangCommand != command)
    return false;
  unsigned n = commandCounts[static_cast<unsigned char>(command) & 0x7F];
  return options.hangOccurrence == 0 ? n == 1 : n == options.hangOccurrence;
}

uint8_t* LpcRom::Ram(uint32_t address, uint32_t count) {
  uint64_t end = uint64_t(address) + count;
  if (address >= kRamBase && end <= uint64_t(kRamBase) + kRamSize)
    return &ram[address - kRamBase];
  if (address >= kAhbRamBase && end <= uint64_t(kAhbRamBase) + kAhbRamSize)
    return &ahbRam[address - kAhbRamBase];
  return nullptr;
}

bool LpcRom::ReadBytes(uint32_t address, uint32_t count, std::vector<uint8_t>& out) {
  uint64_t end = uint64_t(address) + count;
  out.clear();
  if (const uint8_t* r = Ram(address, count)) {
    out.assign(r, r + count);
    return true;
  }
  if (end <= kFlashSize) {
    out.assign(flash.begin() + address, flash.begin() + end);
    // In ISP mode the first 64 bytes of the address space are the boot ROM's.
    for (uint32_t a = address; a < end && a < kRemappedBytes; a++)
      out[a - address] = bootRom[a];
    return true;
  }
  if (address >= kBootRomBase && end <= uint64_t(kBootRomBase) + kBootRomSize) {
    out.assign(bootRom.begin() + (address - kBootRomBase), bootRom.begin() + (end - kBootRomBase));
    return true;
  }
  return false;
}

LpcRom::Request LpcRom::ParseRequest(const std::string& text, double now) const {
  Request r;
  r.text = text;
  r.now = now;
  r.words = sWords(text);
  r.letter = (r.words.size() >= 1 && r.words[0].size() == 1) ? r.words[0][0] : 0;
  for (size_t i = 1; i < r.words.size(); i++) {
    uint32_t v = 0;
    // G takes a mode letter as its second argument.
    if (r.letter == 'G' && i == 2)
      continue;
    r.numeric = r.numeric && sNumber(r.words[i], v);
    r.n.push_back(v);
  }
  return r;
}

void LpcRom::Command(const std::string& text, double now) {
  Request r = ParseRequest(text, now);
  if (r.letter)
    commandCounts[static_cast<unsigned char>(r.letter) & 0x7F]++;
  if (r.letter && HangsOn(r.letter)) {
    Record(now, text + " (hangs)", -1);
    state = State::Hung;
    return;
  }
  int forced = r.letter ? Forced(r.letter) : -1;
  if (forced >= 0) {
    Record(now, text + " (forced)", forced);
    SendCode(forced);
    return;
  }
  Answer answer = Dispatch(r);
  if (answer.sent)
    return;
  Record(now, text, answer.code);
  SendCode(answer.code, answer.at);
  if (!answer.extra.empty())
    Send(answer.extra, answer.at);
}

LpcRom::Answer LpcRom::Dispatch(const Request& r) {
  switch (r.letter) {
    case 'U': return Unlock(r);
    case 'B': return SetBaud(r);
    case 'A': return SetEcho(r);
    case 'W':
    case 'R': return StartTransfer(r);
    case 'P': return Prepare(r);
    case 'E': return Erase(r);
    case 'I': return BlankCheck(r);
    case 'C': return CopyToFlash(r);
    case 'G': return Go(r);
    case 'J': return Identify(r, std::to_string(options.partId) + "\r\n");
    case 'K':
      return Identify(r, std::to_string(options.bootMajor) + "\r\n" + std::to_string(options.bootMinor) + "\r\n");
    case 'N': {
      std::string words;
      for (uint32_t w : options.serial)
        words += std::to_string(w) + "\r\n";
      return Identify(r, words);
    }
    case 'M': return Compare(r);
    default: return r.Reply(INVALID_COMMAND);
  }
}

LpcRom::Answer LpcRom::Request::Reply(int code, std::string extra) const {
  return Answer{code, std::move(extra), now, false};
}

// Sends CMD_SUCCESS at once: the command changes how the chip goes on afterwards.
LpcRom::Answer LpcRom::SucceedNow(const Request& r) {
  Record(r.now, r.text, CMD_SUCCESS);
  SendCode(CMD_SUCCESS);
  return Answer{CMD_SUCCESS, "", r.now, true};
}

LpcRom::Answer LpcRom::Unlock(const Request& r) {
  if (!r.args(1))
    return r.Reply(PARAM_ERROR);
  if (r.n[0] != kUnlockCode)
    return r.Reply(INVALID_CODE);
  unlocked = true;
  return r.Reply(CMD_SUCCESS);
}

LpcRom::Answer LpcRom::SetBaud(const Request& r) {
  static const uint32_t rates[] = {9600, 19200, 38400, 57600, 115200, 230400};
  if (!r.args(2))
    return r.Reply(PARAM_ERROR);
  if (std::find(std::begin(rates), std::end(rates), r.n[0]) == std::end(rates))
    return r.Reply(INVALID_BAUD_RATE);
  if (r.n[1] != 1 && r.n[1] != 2)
    return r.Reply(INVALID_STOP_BIT);
  // The new rate takes effect once CMD_SUCCESS has been sent at the old one.
  Answer answer = SucceedNow(r);
  baud = r.n[0];
  return answer;
}

LpcRom::Answer LpcRom::SetEcho(const Request& r) {
  if (!r.args(1) || r.n[0] > 1)
    return r.Reply(PARAM_ERROR);
  echo = r.n[0] == 1;
  return r.Reply(CMD_SUCCESS);
}

// W and R both move uuencoded data: a word-aligned address, a count of whole words.
LpcRom::Answer LpcRom::StartTransfer(const Request& r) {
  if (!r.args(2))
    return r.Reply(PARAM_ERROR);
  std::vector<uint8_t> probe;
  bool mapped = r.letter == 'W' ? Ram(r.n[0], r.n[1]) != nullptr : ReadBytes(r.n[0], r.n[1], probe);
  if (r.n[0] % 4)
    return r.Reply(ADDR_ERROR);
  if (r.n[1] == 0 || r.n[1] % 4)
    return r.Reply(COUNT_ERROR);
  if (!mapped)
    return r.Reply(ADDR_NOT_MAPPED);
  Answer answer = SucceedNow(r);
  dataAddress = r.n[0];
  dataCount = r.n[1];
  dataDone = blockStart = 0;
  if (r.letter == 'R') {
    state = State::ReadData;
    SendReadBlock();
    return answer;
  }
  state = State::WriteData;
  blockLines = 0;
  blockSum = 0;
  awaitChecksum = false;
  return answer;
}

bool LpcRom::Prepared(unsigned first, unsigned last) const {
  for (unsigned s = first; s <= last; s++)
    if (!prepared[s])
      return false;
  return true;
}

LpcRom::Answer LpcRom::Prepare(const Request& r) {
  if (!r.args(2))
    return r.Reply(PARAM_ERROR);
  if (r.n[0] > r.n[1] || r.n[1] >= kSectors)
    return r.Reply(INVALID_SECTOR);
  for (uint32_t s = r.n[0]; s <= r.n[1]; s++)
    prepared[s] = true;
  return r.Reply(CMD_SUCCESS);
}

LpcRom::Answer LpcRom::Erase(const Request& r) {
  if (!r.args(2))
    return r.Reply(PARAM_ERROR);
  if (!unlocked)
    return r.Reply(CMD_LOCKED);
  if (r.n[0] > r.n[1] || r.n[1] >= kSectors)
    return r.Reply(INVALID_SECTOR);
  if (!Prepared(r.n[0], r.n[1]))
    return r.Reply(SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION);
  for (uint32_t s = r.n[0]; s <= r.n[1]; s++) {
    std::fill(flash.begin() + SectorStart(s), flash.begin() + SectorStart(s) + SectorSize(s), 0xFF);
    prepared[s] = false;
  }
  busyUntil = r.now + options.eraseMs;
  return Answer{CMD_SUCCESS, "", busyUntil, false};
}

LpcRom::Answer LpcRom::BlankCheck(const Request& r) {
  if (!r.args(2))
    return r.Reply(PARAM_ERROR);
  if (r.n[0] > r.n[1] || r.n[1] >= kSectors)
    return r.Reply(INVALID_SECTOR);
  for (uint32_t a = SectorStart(r.n[0]); a < SectorStart(r.n[1]) + SectorSize(r.n[1]); a += 4) {
    uint32_t word = lab::GetLE32(&flash[a]);
    if (word != 0xFFFFFFFFu)
      return r.Reply(SECTOR_NOT_BLANK,
                     std::to_string(a - SectorStart(r.n[0])) + "\r\n" + std::to_string(word) + "\r\n");
  }
  return r.Reply(CMD_SUCCESS);
}

LpcRom::Answer LpcRom::CopyToFlash(const Request& r) {
  if (!r.args(3))
    return r.Reply(PARAM_ERROR);
  uint32_t dst = r.n[0], src = r.n[1], count = r.n[2];
  if (!unlocked)
    return r.Reply(CMD_LOCKED);
  if (dst % 256)
    return r.Reply(DST_ADDR_ERROR);
  if (src % 4)
    return r.Reply(SRC_ADDR_ERROR);
  if (count != 256 && count != 512 && count != 1024 && count != 4096)
    return r.Reply(COUNT_ERROR);
  if (uint64_t(dst) + count > kFlashSize)
    return r.Reply(DST_ADDR_NOT_MAPPED);
  if (!Ram(src, count))
    return r.Reply(SRC_ADDR_NOT_MAPPED);
  unsigned first = SectorOf(dst), last = SectorOf(dst + count - 1);
  if (!Prepared(first, last))
    return r.Reply(SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION);
  Program(dst, Ram(src, count), count);
  for (unsigned s = first; s <= last; s++)
    prepared[s] = false;
  busyUntil = r.now + options.copyMs;
  return Answer{CMD_SUCCESS, "", busyUntil, false};
}

// NOR flash: programming can only clear bits.
void LpcRom::Program(uint32_t address, const uint8_t* src, uint32_t count) {
  for (uint32_t i = 0; i < count; i++)
    flash[address + i] &= src[i];
  copies++;
  if (options.corruptCopy != copies)
    return;
  for (uint32_t i = count / 2; i < count; i++)
    if (flash[address + i]) {
      flash[address + i] &= static_cast<uint8_t>(flash[address + i] - 1);  // clears the lowest set bit
      return;
    }
}

LpcRom::Answer LpcRom::Go(const Request& r) {
  uint32_t address = 0;
  const std::vector<std::string>& w = r.words;
  if (w.size() != 3 || !sNumber(w[1], address) || (w[2] != "T" && w[2] != "A"))
    return r.Reply(PARAM_ERROR);
  if (!unlocked)
    return r.Reply(CMD_LOCKED);
  if (address % 4 && w[2] == "A")
    return r.Reply(ADDR_ERROR);
  if (address >= kFlashSize && !Ram(address, 4))
    return r.Reply(ADDR_NOT_MAPPED);
  Answer answer = SucceedNow(r);
  state = State::Running;
  runningAt = std::to_string(address);
  return answer;
}

// J, K and N: no arguments, lines of numbers after the code.
LpcRom::Answer LpcRom::Identify(const Request& r, const std::string& lines) {
  if (!r.args(0))
    return r.Reply(PARAM_ERROR);
  return r.Reply(CMD_SUCCESS, lines);
}

LpcRom::Answer LpcRom::Compare(const Request& r) {
  std::vector<uint8_t> a, b;
  if (!r.args(3))
    return r.Reply(PARAM_ERROR);
  if (r.n[0] % 4 || r.n[1] % 4)
    return r.Reply(ADDR_ERROR);
  if (r.n[2] % 4)
    return r.Reply(COUNT_ERROR);
  if (!ReadBytes(r.n[0], r.n[2], a) || !ReadBytes(r.n[1], r.n[2], b))
    return r.Reply(ADDR_NOT_MAPPED);
  for (uint32_t i = 0; i < r.n[2]; i++)
    if (a[i] != b[i])
      return r.Reply(COMPARE_ERROR, std::to_string(i & ~3u) + "\r\n");
  return r.Reply(CMD_SUCCESS);
}

void LpcRom::WriteDataLine(const std::string& text, double now) {
  if (!awaitChecksum) {
    std::vector<uint8_t> bytes = UuDecodeLine(text);
    uint32_t take = std::min<uint32_t>(static_cast<uint32_t>(bytes.size()), dataCount - dataDone);
    std::copy(bytes.begin(), bytes.begin() + take, Ram(dataAddress, dataCount) + dataDone);
    for (uint32_t i = 0; i < take; i++)
      blockSum += bytes[i];
    dataDone += take;
    blockLines++;
    if (blockLines == kLinesPerChecksum || dataDone == dataCount)
      awaitChecksum = true;
    return;
  }
  checksums++;
  uint32_t sum = 0;
  bool match = sNumber(text, sum) && sum == blockSum;
  bool forcedResend = options.resendBlocks.count(checksums) > 0;
  const char* answer = (match && !forcedResend) ? "OK" : "RESEND";
  Record(now,
         "checksum " + text + " for " + std::to_string(dataDone - blockStart) + " bytes (block " +
             std::to_string(checksums) + (forcedResend ? ", RESEND forced" : "") + ") -> " + answer,
         -1);
  Send(std::string(answer) + "\r\n");
  if (std::strcmp(answer, "OK") == 0)
    blockStart = dataDone;
  else
    dataDone = blockStart;
  blockLines = 0;
  blockSum = 0;
  awaitChecksum = false;
  if (dataDone == dataCount)
    state = State::Command;
}

void LpcRom::SendReadBlock() {
  std::vector<uint8_t> bytes;
  ReadBytes(dataAddress, dataCount, bytes);
  uint32_t pos = blockStart;
  uint32_t sum = 0;
  std::string text;
  for (unsigned lines = 0; lines < kLinesPerChecksum && pos < dataCount; lines++) {
    uint32_t take = std::min<uint32_t>(kLineBytes, dataCount - pos);
    text += UuEncodeLine(&bytes[pos], take) + "\r\n";
    for (uint32_t i = 0; i < take; i++)
      sum += bytes[pos + i];
    pos += take;
  }
  text += std::to_string(sum) + "\r\n";
  dataDone = pos;
  Send(text);
}

void LpcRom::ReadDataAnswer(const std::string& text, double now) {
  Record(now, "read answer " + text, -1);
  if (text == "OK") {
    blockStart = dataDone;
    if (dataDone == dataCount)
      state = State::Command;
    else
      SendReadBlock();
  } else if (text == "RESEND") {
    SendReadBlock();
  } else {
    state = State::Command;
  }
}

std::string LpcRom::AccountJson() const {
  std::string out = "{\n";
  char buf[256];
  std::snprintf(buf, sizeof(buf),
                "  \"state\": \"%s\",\n  \"baud\": %u,\n  \"echo\": %s,\n  \"unlocked\": %s,\n  \"copies\": %u,\n"
                "  \"write_checksums\": %u,\n",
                sStateName(state), baud, Echo() ? "true" : "false", unlocked ? "true" : "false", copies, checksums);
  out += buf;
  out += "  \"started_at\": " + (runningAt.empty() ? std::string("null") : runningAt) + ",\n";
  out += "  \"events\": [";
  for (size_t i = 0; i < events.size(); i++) {
    std::snprintf(buf, sizeof(buf), "%s\n    {\"at_ms\": %.3f, ", i ? "," : "", events[i].atMs);
    out += buf;
    out += "\"received\": \"" + sJsonText(events[i].what) + "\"";
    if (events[i].code >= 0)
      out += ", \"code\": " + std::to_string(events[i].code);
    out += "}";
  }
  out += events.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}
