#include "rom/ImxChip.h"

#include <algorithm>

#include "usb/UsbHost.h"
#include "sim/Module.h"

namespace lab {

namespace {

constexpr uint8_t kCommandReport = 1, kDataReport = 2, kSecurityReport = 3, kResponseReport = 4;
constexpr size_t kResponseBytes = 64;
constexpr uint32_t kDefaultSerial = 0xDEADDEAD;  // a loader that does not know its module
// A host sends a command block in one go. Bytes followed by this much silence
// are a stray (another protocol's probe, a host that gave up) and are dropped,
// so the next command is framed from its first byte. Lab choice: the ROM's own
// rule is not published.
constexpr uint64_t kCommandGapMs = 100;

}  // namespace

ImxChip::ImxChip(const ImxChipOptions& options, LabUsbHost* bus)
    : options_(options), bus_(bus), rom_(options.rom) {}

void ImxChip::report(const std::vector<uint8_t>& bytes, std::vector<std::vector<uint8_t>>& replies) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (bytes.empty())
    return;
  std::vector<ImxReplyPiece> pieces;
  if (bytes[0] == kCommandReport && bytes.size() >= 1 + ImxRom::kCommandSize) {
    rom_.command(bytes.data() + 1, pieces);
    afterCommand();
  } else if (bytes[0] == kDataReport) {
    // A short last packet may come padded to the report's size: only the
    // bytes the write-file announced count.
    size_t n = std::min<size_t>(bytes.size() - 1, rom_.dataLeft());
    dataReports_.push_back(n);
    rom_.data(bytes.data() + 1, n, pieces);
  }
  for (const ImxReplyPiece& piece : pieces) {
    if (piece.kind == ImxReplyPiece::Security) {
      std::vector<uint8_t> report = {kSecurityReport};
      report.insert(report.end(), piece.bytes.begin(), piece.bytes.end());
      replies.push_back(report);
      continue;
    }
    for (size_t at = 0; at < piece.bytes.size(); at += kResponseBytes) {
      std::vector<uint8_t> report(1 + kResponseBytes, 0);
      report[0] = kResponseReport;
      size_t n = std::min(kResponseBytes, piece.bytes.size() - at);
      std::copy(piece.bytes.begin() + static_cast<std::ptrdiff_t>(at),
                piece.bytes.begin() + static_cast<std::ptrdiff_t>(at + n), report.begin() + 1);
      replies.push_back(report);
    }
  }
}

void ImxChip::uart(const uint8_t* bytes, size_t count, std::vector<uint8_t>& reply, uint64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!options_.strict && nowMs && nowMs - lastByteMs_ > kCommandGapMs)
    command_.clear();
  lastByteMs_ = nowMs;
  std::vector<ImxReplyPiece> pieces;
  size_t at = 0;
  while (at < count) {
    if (rom_.state() == ImxRom::State::WriteData) {
      size_t n = std::min<size_t>(count - at, rom_.dataLeft());
      rom_.data(bytes + at, n, pieces);
      at += n;
      continue;
    }
    command_.push_back(bytes[at++]);
    if (command_.size() < ImxRom::kCommandSize)
      continue;
    rom_.command(command_.data(), pieces);
    command_.clear();
    afterCommand();
  }
  for (const ImxReplyPiece& piece : pieces)
    reply.insert(reply.end(), piece.bytes.begin(), piece.bytes.end());
}

void ImxChip::afterCommand() {
  ImxLabLoader loader;
  if (loaderRunning_ || !rom_.loaderStarted(loader))
    return;
  loaderRunning_ = true;
  ++loaderStarts_;
  if (!bus_ || options_.rom.hideLoader)
    return;
  UsbLabModule m;
  m.module.serial = loader.serial;
  m.module.model = static_cast<uint8_t>(loader.model);
  m.module.build = loader.build;
  m.module.rebootDelayMs = options_.loaderRebootMs;
  m.module.name = "Lab i.MX recovery loader";
  bool own = loader.identity[0] || loader.identity[1] || loader.identity[2] || loader.identity[3];
  for (int i = 0; i < 4; ++i)
    m.module.identifier[i] = own ? loader.identity[i] : options_.rom.identity[i];
  m.module.identifierSet = true;
  bus_->join(m, [this](const SimModule& module) { loaderLeft(module); });
}

// Called with the lab's lock held, when the loader's module left the bus:
// either reset (the chip is back in serial download mode) or rebooting into
// the firmware it received.
void ImxChip::loaderLeft(const SimModule& loader) {
  std::lock_guard<std::mutex> lock(mutex_);
  loaderRunning_ = false;
  if (!loader.upgrade().firmwareWritten()) {
    rom_.reset();
    return;
  }
  SimImageInfo info = FindImageInfo(loader.upgrade().firmware().bytes);
  UsbLabModule m;
  m.module = loader.config();
  // The image's own serial number, else the one the loader announced when it
  // was the module's, else the configured one.
  if (info.found && info.serial && info.serial != kDefaultSerial)
    m.module.serial = info.serial;
  else
    m.module.serial = loader.serial() != kDefaultSerial ? loader.serial() : options_.moduleSerial;
  m.module.build = info.found ? info.build : loader.build();
  if (info.hasVersion)
    m.module.version = info.version;
  m.module.name = "Lab i.MX module";
  firmwareSerial_ = m.module.serial;
  bus_->join(m, nullptr);
}

ImxRom::State ImxChip::state() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rom_.state();
}

std::vector<std::string> ImxChip::account() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rom_.account();
}

bool ImxChip::readRam(uint32_t address, uint32_t count, std::vector<uint8_t>& out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rom_.readRam(address, count, out);
}

unsigned ImxChip::loaderStarts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return loaderStarts_;
}

unsigned ImxChip::statusRequests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rom_.statusRequests();
}

std::vector<size_t> ImxChip::dataReports() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dataReports_;
}

uint32_t ImxChip::firmwareSerial() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return firmwareSerial_;
}

}  // namespace lab
