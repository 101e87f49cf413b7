#include "update/BirdCheck.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "image/BirdFile.h"

namespace {

// Where the model name lies in the information block, space padded.
const uint32_t kModelField = 48;
const uint32_t kModelWidth = 16;

std::string sSerial(uint32_t serialNumber) {
  char text[9];
  std::snprintf(text, sizeof(text), "%08X", serialNumber);
  return text;
}

}  // namespace

std::string BirdCheck::ModelName(const BirdFile& file) {
  std::vector<BirdBlock> info = file.FindBlocks(BirdFile::BLOCK_INFO);
  if (info.empty() || info[0].length <= kModelField)
    return std::string();
  uint32_t width = std::min(kModelWidth, info[0].length - kModelField);
  std::string name(reinterpret_cast<const char*>(info[0].data + kModelField), width);
  name.erase(std::min(name.find('\0'), name.size()));
  name.erase(name.find_last_not_of(' ') + 1);
  return name;
}

std::string BirdCheck::FileReason(const BirdFile& file, uint32_t serialNumber) {
  // Without firmware bytes the update would reboot the module having written nothing.
  if (file.blockCount == 0 || file.FirmwareBytes() == 0)
    return "holds no firmware";
  // A file with offsets gets the module's serial number written in; any other is made for one module.
  if (!file.hasSerialNumberOffsets && !file.ValidateSerialNumber(serialNumber))
    return "made for module " + sSerial(file.GetSerialNumber()) + ", not " + sSerial(serialNumber);
  return std::string();
}

std::string BirdCheck::ModelReason(const BirdFile& file, const char* moduleModel) {
  if (file.ValidateModel(moduleModel))
    return std::string();
  std::string model = ModelName(file);
  return "model " + (model.empty() ? std::string("(none)") : model) + ", the module is a " +
         (moduleModel && *moduleModel ? moduleModel : "module of unknown model");
}

std::string BirdCheck::Condition(const BirdFile& file) {
  if (!file.hasSerialNumberOffsets)
    return "made for module " + sSerial(file.GetSerialNumber()) + " only; -U accepts it for that module alone";
  std::string model = ModelName(file);
  return "generic: any module of model " + (model.empty() ? std::string("(none)") : model);
}
