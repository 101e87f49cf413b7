#include "LabLpcSupport.h"

#include "BirdWriter.h"
#include "LabServerSupport.h"
#include "TestSupport.h"

namespace testsupport {

const uint32_t kLabLpcSerial[4] = {0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978};

LabLpcProcess::LabLpcProcess(const std::string& dir, const std::vector<std::string>& args) : dir_(dir) {
  std::vector<std::string> all = {BinPath("updater-lab"), "lpc", "--flash-out", dir + "/flash.bin", "--account",
                                  dir + "/account.json"};
  all.insert(all.end(), args.begin(), args.end());
  // The ROM prints its pty path, then "ready".
  pty_ = StartUntilReady(all, &pid_);
}

int LabLpcProcess::Stop() { return StopChild(&pid_); }

LabLpcProcess::~LabLpcProcess() { Stop(); }

std::string LabLpcProcess::flash() const { return ReadFile(dir_ + "/flash.bin"); }
std::string LabLpcProcess::account() const { return ReadFile(dir_ + "/account.json"); }

std::vector<std::string> LabLpcProcess::received() const {
  std::vector<std::string> out;
  std::string text = account();
  const std::string key = "\"received\": \"";
  for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at)) {
    at += key.size();
    out.push_back(text.substr(at, text.find('"', at) - at));
  }
  return out;
}

std::string MakeRecoveryBird(const std::vector<FirmwarePiece>& pieces, const uint32_t key[4], uint32_t build,
                             const std::string& model, bool serialOffsets) {
  std::vector<birdwriter::Block> blocks = {birdwriter::InfoBlock(build, "1.0." + std::to_string(build), 0, model)};
  for (const FirmwarePiece& piece : pieces) {
    birdwriter::Block block = birdwriter::AddressedBlock(
        birdwriter::kFirmware, piece.address, std::vector<uint8_t>(piece.bytes.begin(), piece.bytes.end()));
    birdwriter::ScrambleFirmware(block.content, key);
    blocks.push_back(block);
  }
  if (serialOffsets)
    blocks.push_back(birdwriter::SerialOffsetsBlock(pieces.front().address + 16, 0));
  std::vector<uint8_t> file = birdwriter::EncodeFile(blocks);
  return std::string(file.begin(), file.end());
}

std::string ExpectedFlash(const std::vector<FirmwarePiece>& pieces) {
  std::string flash(kLabLpcFlashSize, '\xFF');
  for (const FirmwarePiece& piece : pieces)
    flash.replace(piece.address, piece.bytes.size(), piece.bytes);
  return flash;
}

}  // namespace testsupport
