#include "CheckCommand.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <exception>
#include <vector>

#include "StoreReport.h"
#include "image/BirdFile.h"
#include "image/ImageTrust.h"
#include "store/UpdaterStore.h"

namespace {

const UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::Info;
const UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::Error;

// Where the model name lies in the information block, space padded.
const uint32_t kModelField = 48;
const uint32_t kModelWidth = 16;

std::string ModelName(const BirdFile& file) {
  std::vector<BirdBlock> info = file.FindBlocks(BirdFile::BLOCK_INFO);
  if (info.empty() || info[0].length <= kModelField)
    return std::string();
  uint32_t width = std::min(kModelWidth, info[0].length - kModelField);
  std::string name(reinterpret_cast<const char*>(info[0].data + kModelField), width);
  name.erase(std::min(name.find('\0'), name.size()));
  name.erase(name.find_last_not_of(' ') + 1);
  return name;
}

void Describe(UpdaterDisplayInterface& display, const BirdFile& file) {
  std::string model = ModelName(file);
  display.message(kInfo, "BIRD file %s", file.filename.c_str());
  display.message(kInfo, "    Model:          %s", model.empty() ? "(none)" : model.c_str());
  display.message(kInfo, "    Build:          %u", file.GetBuild());
  display.message(kInfo, "    Version:        %s", file.GetVersion().c_str());
  display.message(kInfo, "    Serial number:  %08X%s", file.GetSerialNumber(),
                  file.hasSerialNumberOffsets ? " (generic: the module's own is written in)" : "");
  display.message(kInfo, "    Blocks:         %u (%zu loader, %zu firmware)", file.blockCount,
                  file.FindBlocks(BirdFile::BLOCK_LOADER).size(), file.FindBlocks(BirdFile::BLOCK_FIRMWARE).size());
  display.message(kInfo, "    Loader bytes:   %llu", static_cast<unsigned long long>(file.ImageBytes(BirdFile::BLOCK_LOADER)));
  display.message(kInfo, "    Firmware bytes: %llu", static_cast<unsigned long long>(file.FirmwareBytes()));
}

// The model of the newest stored build of the module that loads; empty when
// the store has none.
std::string StoredModel(const std::string& moduleDirectory) {
  std::vector<uint32_t> builds = StoredBuildNumbers(moduleDirectory);
  for (auto build = builds.rbegin(); build != builds.rend(); ++build) {
    std::string path = moduleDirectory + "/" + std::to_string(*build) + ".bird";
    try {
      std::string model = ModelName(BirdFile(path.c_str()));
      if (!model.empty())
        return model;
    } catch (const std::exception&) {
      // A damaged stored file says nothing about the module; try an older one.
    }
  }
  return std::string();
}

// The checks an update makes before it connects; the first failure is reported.
bool PassesFileChecks(BirdFile& file, uint32_t serialNumber, UpdaterDisplayInterface& display) {
  if (file.blockCount == 0) {
    display.message(kError, "Bird file holds no blocks");
    return false;
  }
  if (file.FirmwareBytes() == 0) {
    display.message(kError, "Bird file holds no firmware");
    return false;
  }
  uint32_t serial = serialNumber != 0 ? serialNumber : file.GetSerialNumber();
  if (file.hasSerialNumberOffsets && !file.ReplaceSerialNumber(serial)) {
    display.message(kError, "Unable to modify serial number in bird file");
    return false;
  }
  return true;
}

// With -d: the file must be made for that module, as the update checks it.
bool PassesModuleChecks(const BirdFile& file, uint32_t serialNumber, const std::string& directory,
                        UpdaterDisplayInterface& display) {
  if (!file.hasSerialNumberOffsets && !file.ValidateSerialNumber(serialNumber)) {
    display.message(kError, "Bird file is made for module %08X, not %08X", file.GetSerialNumber(), serialNumber);
    return false;
  }
  std::string moduleDirectory = directory + "/" + UpdaterStore::DeviceName(serialNumber);
  std::string model = StoredModel(moduleDirectory);
  if (model.empty()) {
    display.message(kInfo, "No stored build of module %08X to compare the model with", serialNumber);
    return true;
  }
  if (!file.ValidateModel(model.c_str())) {
    display.message(kError, "Bird file model [%s] does not match model [%s] of module %08X", ModelName(file).c_str(),
                    model.c_str(), serialNumber);
    return false;
  }
  return true;
}

}  // namespace

int CheckBirdFile(const Parameters& parameters, const std::string& updaterDirectory, UpdaterDisplayInterface& display) {
  const std::string& path = parameters.birdFile;
  if (path.empty()) {
    display.message(kError, "-C must name the BIRD file to check via -f");
    return 1;
  }
  if (access(path.c_str(), R_OK) != 0) {
    display.message(kError, "Cannot read BIRD file %s: %s", path.c_str(), strerror(errno));
    return 1;
  }
  if (!BirdFile::VerifyFile(path.c_str())) {
    display.message(kError, "Not a BIRD file: %s", path.c_str());
    return 1;
  }
  BirdFile file;
  try {
    file = BirdFile(path.c_str());
  } catch (const std::exception& e) {
    // The loader's text names the file and what in it is wrong.
    display.message(kError, "%s", e.what());
    return 1;
  }
  ImageVerdict verdict = ImageTrust::Judge(file, updaterDirectory);
  if (!verdict.Accepted()) {
    display.message(kError, "%s", verdict.Refusal().c_str());
    return 1;
  }
  Describe(display, file);
  display.message(kInfo, "    Signature:      %s", verdict.Describe().c_str());
  if (!PassesFileChecks(file, parameters.serialNumber, display))
    return 1;
  if (parameters.serialNumber != 0 && !parameters.override &&
      !PassesModuleChecks(file, parameters.serialNumber, updaterDirectory, display))
    return 1;
  display.message(kInfo, "An update would accept this file");
  return 0;
}
