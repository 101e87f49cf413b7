#include "sim/Upgrade.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/Frame.h"

namespace lab {

namespace {

enum UpgradeOp : uint8_t { kInit = 0, kData = 1, kLoad = 2, kPrepare = 3, kSum = 4, kWrite = 5, kReboot = 6 };
constexpr uint8_t kStatusOption = 7;
constexpr size_t kMaxChunk = 26;
constexpr size_t kMaxImageSpan = 64u << 20;
constexpr size_t kInfoSize = 64;
// Status bytes of refused PREPARE and WRITE requests.
constexpr uint8_t kStatusShort = 27;
constexpr uint8_t kStatusRefused = 1;

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }
bool IsHex(uint8_t c) { return IsDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
bool IsPad(uint8_t c) { return c == ' ' || c == 0; }

// Digits (or version characters) from `from`, then only padding up to `to`.
size_t TextField(const uint8_t* p, size_t from, size_t to, bool version) {
  size_t end = from;
  while (end < to && (IsDigit(p[end]) || (version && p[end] == '.')))
    ++end;
  for (size_t i = end; i < to; ++i)
    if (!IsPad(p[i]))
      return 0;
  return end - from;
}

bool ParseVersionText(const uint8_t* p, size_t length, uint32_t& version) {
  uint32_t parts[3] = {0, 0, 0};
  int part = 0;
  bool digit = false;
  for (size_t i = 0; i < length; ++i) {
    if (p[i] == '.') {
      if (!digit || ++part > 2)
        return false;
      digit = false;
    } else {
      parts[part] = parts[part] * 10 + (p[i] - '0');
      if (parts[part] > 0xFFFFFF)
        return false;
      digit = true;
    }
  }
  if (!digit || part < 1 || parts[0] > 15 || parts[1] > 15)
    return false;
  version = (parts[0] << 28) | (parts[1] << 24) | parts[2];
  return true;
}

bool LooksLikeInfo(const uint8_t* p, size_t& buildDigits, size_t& versionChars) {
  if (!IsDigit(p[0]))
    return false;
  buildDigits = TextField(p, 0, 16, false);
  versionChars = TextField(p, 16, 32, true);
  if (buildDigits == 0 || buildDigits > 10 || versionChars == 0)
    return false;
  for (size_t i = 32; i < 40; ++i)
    if (!IsHex(p[i]))
      return false;
  for (size_t i = 48; i < 64; ++i)
    if (p[i] != 0 && (p[i] < 0x20 || p[i] > 0x7E))
      return false;
  return true;
}

}  // namespace

bool SimImage::write(uint32_t address, const uint8_t* data, size_t count) {
  if (count == 0)
    return true;
  if (bytes.empty())
    base = address;
  uint64_t start = address < base ? address : base;
  uint64_t end = static_cast<uint64_t>(address) + count;
  uint64_t oldEnd = static_cast<uint64_t>(base) + bytes.size();
  if (oldEnd > end)
    end = oldEnd;
  if (end - start > kMaxImageSpan)
    return false;
  if (start < base) {
    bytes.insert(bytes.begin(), base - start, 0xFF);
    base = static_cast<uint32_t>(start);
  }
  if (bytes.size() < end - base)
    bytes.resize(end - base, 0xFF);
  std::copy(data, data + count, bytes.begin() + (address - base));
  return true;
}

SimImageInfo FindImageInfo(const std::vector<uint8_t>& image) {
  SimImageInfo info;
  for (size_t at = 0; at + kInfoSize <= image.size(); ++at) {
    const uint8_t* p = image.data() + at;
    size_t buildDigits = 0, versionChars = 0;
    if (!LooksLikeInfo(p, buildDigits, versionChars))
      continue;
    uint64_t build = 0;
    for (size_t i = 0; i < buildDigits; ++i)
      build = build * 10 + (p[i] - '0');
    if (build == 0 || build > 0xFFFFFFFFull)
      continue;
    info.found = true;
    info.build = static_cast<uint32_t>(build);
    info.hasVersion = ParseVersionText(p + 16, versionChars, info.version);
    info.serial = static_cast<uint32_t>(std::strtoul(std::string(p + 32, p + 40).c_str(), nullptr, 16));
    return info;
  }
  return info;
}

SimUpgrade::SimUpgrade(const ModuleConfig& config) : blockSize_(config.blockSize), loadBase_(config.loadBase) {}

std::string SimUpgrade::StepName(const std::vector<uint8_t>& request) {
  static const char* const kNames[] = {"init", "data", "load", "prepare", "sum", "write", "reboot"};
  if (request.size() < 2 || request[1] > kReboot)
    return "other";
  return kNames[request[1]];
}

void SimUpgrade::handle(const std::vector<uint8_t>& request, const SimFaults& faults, std::vector<uint8_t>& reply) {
  reply.clear();
  if (request.size() < 2)
    return;
  switch (request[1]) {
    case kInit: init(reply); break;
    case kPrepare: prepare(request, faults, reply); break;
    case kData: data(request, faults, reply); break;
    case kSum: sum(faults, reply); break;
    case kWrite: writeBlock(request, reply); break;
    case kLoad: load(faults, reply); break;
    case kReboot: reboot(faults); break;
    default: break;
  }
}

void SimUpgrade::clearPending() {
  pending_.clear();
  sum_ = 0;
}

void SimUpgrade::init(std::vector<uint8_t>& reply) {
  loaderPhase_ = true;
  loaderStarted_ = false;
  prepared_ = false;
  loader_.clear();
  clearPending();
  reply = {kCmdUpgrade, kInit};
  PutBE32(reply, loadBase_);
}

void SimUpgrade::prepare(const std::vector<uint8_t>& request, const SimFaults& faults, std::vector<uint8_t>& reply) {
  clearPending();
  uint8_t status = 0;
  if (request.size() < 7)
    status = kStatusShort;
  else if (faults.fired(FaultKind::PrepareStatus))
    status = static_cast<uint8_t>(faults.value(FaultKind::PrepareStatus, kStatusRefused));
  prepared_ = status == 0;
  if (prepared_) {
    target_ = GetBE32(&request[3]);
    writeOffset_ = 0;
  }
  reply = {kCmdUpgrade, kStatusOption, status};
  PutBE16(reply, blockSize_);
}

void SimUpgrade::data(const std::vector<uint8_t>& request, const SimFaults& faults, std::vector<uint8_t>& reply) {
  size_t n = request.size() - 2;
  size_t accepted = n;
  if (n == 0 || n > kMaxChunk)
    accepted = 0;
  else if (faults.fired(FaultKind::ShortData)) {
    size_t refused = faults.value(FaultKind::ShortData, 6);
    accepted = n > refused ? n - refused : 0;
  } else if (!loaderPhase_ && pending_.size() + n > blockSize_)
    accepted = 0;  // a firmware piece must fit the block buffer
  // A chunk that is not taken whole is not kept: the host sends it again.
  if (accepted == n && n > 0) {
    for (size_t i = 2; i < request.size(); ++i) {
      pending_.push_back(request[i]);
      sum_ += request[i];
      if (loaderPhase_)
        loader_.push_back(request[i]);
    }
  }
  reply = {kCmdUpgrade, kData, static_cast<uint8_t>(accepted)};
}

void SimUpgrade::sum(const SimFaults& faults, std::vector<uint8_t>& reply) {
  uint32_t reported = sum_;
  if (faults.fired(FaultKind::BadSum))
    reported += 1;
  reply = {kCmdUpgrade, kStatusOption, 0};
  PutBE32(reply, reported);
}

void SimUpgrade::writeBlock(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply) {
  uint8_t status = kStatusRefused;
  if (request.size() >= 4 && prepared_) {
    uint16_t count = GetBE16(&request[2]);
    if (count > 0 && count <= pending_.size() && firmware_.write(target_ + writeOffset_, pending_.data(), count)) {
      writeOffset_ += count;
      firmwareWritten_ = true;
      ++writes_;
      status = 0;
    }
  } else if (request.size() < 4) {
    status = kStatusShort;
  }
  clearPending();
  reply = {kCmdUpgrade, kStatusOption, status};
}

void SimUpgrade::load(const SimFaults& faults, std::vector<uint8_t>& reply) {
  loaderPhase_ = false;
  loaderStarted_ = true;
  prepared_ = false;
  clearPending();
  if (faults.fired(FaultKind::LateLoadReply))
    lateLoadReply_ = true;
  else if (!faults.fired(FaultKind::NoLoadReply))
    reply = {kCmdUpgrade, kLoad};
}

// No reply: the link drops instead.
void SimUpgrade::reboot(const SimFaults& faults) {
  rebootRequested_ = true;
  bootsOldImage_ = faults.fired(FaultKind::OldBuild);
  staysAway_ = faults.fired(FaultKind::NeverBack);
}

bool SimUpgrade::takeLateLoadReply(std::vector<uint8_t>& reply) {
  if (!lateLoadReply_)
    return false;
  lateLoadReply_ = false;
  reply = {kCmdUpgrade, kLoad};
  return true;
}

void SimUpgrade::restart() {
  loaderPhase_ = false;
  loaderStarted_ = false;
  prepared_ = false;
  lateLoadReply_ = false;
  rebootRequested_ = false;
  firmwareWritten_ = false;
  bootsOldImage_ = false;
  clearPending();
}

bool WriteDumpFile(const std::string& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
  std::string path = dir + "/" + name;
  std::string temporary = path + ".tmp";
  FILE* file = std::fopen(temporary.c_str(), "wb");
  if (!file)
    return false;
  bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  ok = std::fclose(file) == 0 && ok;
  return ok && std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace lab
