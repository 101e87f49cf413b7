#include "rom/ImxRom.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace lab {

namespace {

constexpr uint16_t kReadRegister = 0x0101;
constexpr uint16_t kWriteFile = 0x0404;
constexpr uint16_t kErrorStatus = 0x0505;
constexpr uint16_t kJump = 0x0B0B;
constexpr uint32_t kDataPacket = 1024;  // the host's data packets: chatter goes after the first
constexpr uint32_t kMaxRead = 0x10000;

uint32_t BigEndian32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

uint32_t Little32(const uint8_t* p) {
  return p[0] | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void PutLittle32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", value);
  return text;
}

}  // namespace

constexpr char ImxLabLoader::kMagic[8];

std::vector<uint8_t> ImxLabLoader::encode(uint32_t bodyBytes) const {
  std::vector<uint8_t> out(kMagic, kMagic + sizeof(kMagic));
  PutLittle32(out, bodyBytes);
  PutLittle32(out, serial);
  PutLittle32(out, model);
  for (uint32_t word : identity)
    PutLittle32(out, word);
  PutLittle32(out, build);
  std::vector<uint8_t> body;
  uint32_t x = serial ^ 0x9E3779B9u;
  for (uint32_t i = 0; i < bodyBytes; ++i) {
    x = x * 1664525u + 1013904223u;
    body.push_back(static_cast<uint8_t>(x >> 24));
  }
  uint32_t sum = 0;
  for (uint8_t b : out)
    sum += b;
  for (uint8_t b : body)
    sum += b;
  PutLittle32(out, sum);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

bool ImxLabLoader::decode(const uint8_t* bytes, size_t available, ImxLabLoader& loader) {
  if (available < kHeaderSize || std::memcmp(bytes, kMagic, sizeof(kMagic)) != 0)
    return false;
  uint32_t length = Little32(bytes + 8);
  if (length > available - kHeaderSize)
    return false;
  uint32_t sum = 0;
  for (size_t i = 0; i < kHeaderSize - 4; ++i)
    sum += bytes[i];
  for (size_t i = 0; i < length; ++i)
    sum += bytes[kHeaderSize + i];
  if (sum != Little32(bytes + kHeaderSize - 4))
    return false;
  loader.length = length;
  loader.serial = Little32(bytes + 12);
  loader.model = Little32(bytes + 16);
  for (int i = 0; i < 4; ++i)
    loader.identity[i] = Little32(bytes + 20 + 4 * i);
  loader.build = Little32(bytes + 36);
  return true;
}

const ImxRom::Region ImxRom::kRegions[3] = {
    {0x00000000, 0x20000, "ITCM"},
    {0x20000000, 0x20000, "DTCM"},
    {0x20200000, 0x40000, "OCRAM"},
};

ImxRom::ImxRom(const ImxRomOptions& options) : options_(options) {
  // RAM after power-up holds whatever it holds: not zeros.
  uint32_t x = 0x1234ABCD;
  for (const Region& region : kRegions) {
    std::vector<uint8_t> bank(region.size);
    for (uint8_t& b : bank) {
      x = x * 1103515245u + 12345u;
      b = static_cast<uint8_t>(x >> 16);
    }
    banks_.push_back(std::move(bank));
  }
}

uint8_t* ImxRom::ram(uint32_t address, uint32_t count) {
  for (size_t i = 0; i < banks_.size(); ++i) {
    const Region& r = kRegions[i];
    if (address >= r.base && uint64_t(address) + count <= uint64_t(r.base) + r.size)
      return banks_[i].data() + (address - r.base);
  }
  return nullptr;
}

bool ImxRom::readRam(uint32_t address, uint32_t count, std::vector<uint8_t>& out) const {
  uint8_t* at = const_cast<ImxRom*>(this)->ram(address, count);
  if (!at)
    return false;
  out.assign(at, at + count);
  return true;
}

void ImxRom::note(const std::string& line) { account_.push_back(line); }

void ImxRom::security(std::vector<ImxReplyPiece>& out) {
  ImxReplyPiece piece{ImxReplyPiece::Security, {}};
  PutLittle32(piece.bytes, kImxHabOpen);
  out.push_back(piece);
}

void ImxRom::respond(uint32_t word, std::vector<ImxReplyPiece>& out) {
  security(out);
  ImxReplyPiece piece{ImxReplyPiece::Response, {}};
  PutLittle32(piece.bytes, word);
  out.push_back(piece);
}

void ImxRom::command(const uint8_t* block, std::vector<ImxReplyPiece>& out) {
  if (state_ == State::Running || state_ == State::Hung)
    return;  // the processor is not in the ROM's hands
  if (state_ == State::WriteData) {
    note("write-file abandoned after " + std::to_string(dataDone_) + " bytes");
    state_ = State::Idle;
  }
  uint16_t code = static_cast<uint16_t>(block[0] << 8 | block[1]);
  uint32_t address = BigEndian32(block + 2);
  uint8_t format = block[6];
  uint32_t count = BigEndian32(block + 7);
  switch (code) {
    case kErrorStatus:
      ++statusRequests_;
      if (options_.answerStatusFrom == 0 || statusRequests_ < options_.answerStatusFrom) {
        note("error-status unanswered");
        return;
      }
      note("error-status " + Hex(status_));
      respond(status_, out);
      return;
    case kWriteFile:
      // Nothing is sent until the data is in: the host takes any byte during
      // the transfer for an error.
      dataAddress_ = address;
      dataCount_ = count;
      dataDone_ = 0;
      chattered_ = false;
      dataRefused_ = count == 0 || !ram(address, count);
      note("write-file " + Hex(address) + " " + std::to_string(count) + (dataRefused_ ? " refused" : ""));
      if (count == 0) {
        status_ = kImxRefused;
        respond(status_, out);
        return;
      }
      state_ = State::WriteData;
      return;
    case kReadRegister:
      readRegister(address, format == 0x20 || format == 0x10 || format == 0x08 ? count : 0, out);
      return;
    case kJump:
      jump(address, out);
      return;
    default:
      note("unknown command " + Hex(code));
      status_ = kImxRefused;
      respond(status_, out);
      return;
  }
}

void ImxRom::data(const uint8_t* bytes, size_t count, std::vector<ImxReplyPiece>& out) {
  if (state_ != State::WriteData)
    return;
  uint32_t n = static_cast<uint32_t>(std::min<size_t>(count, dataLeft()));
  if (!dataRefused_)
    std::memcpy(ram(dataAddress_ + dataDone_, n), bytes, n);
  dataDone_ += n;
  if (options_.chatter && !chattered_ && dataDone_ >= kDataPacket && dataLeft() > 0) {
    chattered_ = true;
    security(out);
  }
  if (dataLeft() > 0)
    return;
  state_ = State::Idle;
  status_ = dataRefused_ ? kImxRefused : kImxAck;
  if (options_.noCompletion) {
    security(out);
    return;
  }
  respond(dataRefused_ ? kImxRefused : options_.completionWord, out);
}

void ImxRom::readRegister(uint32_t address, uint32_t count, std::vector<ImxReplyPiece>& out) {
  std::vector<uint8_t> bytes;
  bool ok = count > 0 && count <= kMaxRead;
  if (ok && (address == kImxFuseCfg0 || address == kImxFuseCfg1) && count == 4)
    PutLittle32(bytes, options_.identity[address == kImxFuseCfg0 ? 0 : 1]);
  else if (ok)
    ok = readRam(address, count, bytes);
  note("read-register " + Hex(address) + " " + std::to_string(count) + (ok ? "" : " refused"));
  if (!ok) {
    status_ = kImxRefused;
    respond(status_, out);
    return;
  }
  security(out);
  out.push_back(ImxReplyPiece{ImxReplyPiece::Response, bytes});
}

void ImxRom::jump(uint32_t address, std::vector<ImxReplyPiece>& out) {
  uint8_t* at = ram(address, 1);
  if (!at) {
    note("jump " + Hex(address) + " refused");
    status_ = kImxRefused;
    respond(status_, out);
    return;
  }
  // The ROM hands over the processor and says nothing more. Anything but a
  // lab loader at the address hangs the chip: nothing appears.
  security(out);
  size_t available = 0;
  for (size_t i = 0; i < banks_.size(); ++i)
    if (address >= kRegions[i].base && address - kRegions[i].base < kRegions[i].size)
      available = kRegions[i].size - (address - kRegions[i].base);
  bool loader = ImxLabLoader::decode(at, available, loader_);
  note("jump " + Hex(address) + (loader ? " loader" : " no loader"));
  state_ = loader ? State::Running : State::Hung;
}

bool ImxRom::loaderStarted(ImxLabLoader& loader) const {
  if (state_ != State::Running)
    return false;
  loader = loader_;
  return true;
}

void ImxRom::reset() {
  state_ = State::Idle;
  status_ = kImxAck;
  note("reset");
}

}  // namespace lab
