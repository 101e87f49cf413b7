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
#include "update/BirdCheck.h"

namespace {

const UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::Info;
const UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::Error;

std::string ModelName(const BirdFile& file) { return BirdCheck::ModelName(file); }

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

// The checks an update makes before it connects, with the same reasons.
bool PassesFileChecks(BirdFile& file, uint32_t serialNumber, UpdaterDisplayInterface& display) {
  std::string reason = BirdCheck::FileReason(file, serialNumber != 0 ? serialNumber : file.GetSerialNumber());
  if (!reason.empty()) {
    display.message(kError, "%s: %s", BirdCheck::kRefusal, reason.c_str());
    return false;
  }
  uint32_t serial = serialNumber != 0 ? serialNumber : file.GetSerialNumber();
  if (file.hasSerialNumberOffsets && !file.ReplaceSerialNumber(serial)) {
    display.message(kError, "Unable to modify serial number in bird file");
    return false;
  }
  return true;
}

// With -d the module's model is that of the newest build stored for it (-OVERRIDE skips this).
bool PassesModelCheck(const BirdFile& file, uint32_t serialNumber, const std::string& directory,
                      UpdaterDisplayInterface& display) {
  std::string moduleDirectory = directory + "/" + UpdaterStore::DeviceName(serialNumber);
  std::string model = StoredModel(moduleDirectory);
  if (model.empty()) {
    display.message(kInfo, "No stored build of module %08X to compare the model with", serialNumber);
    return true;
  }
  std::string reason = BirdCheck::ModelReason(file, model.c_str());
  if (reason.empty())
    return true;
  display.message(kError, "%s: %s", BirdCheck::kRefusal, reason.c_str());
  return false;
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
      !PassesModelCheck(file, parameters.serialNumber, updaterDirectory, display))
    return 1;
  // Without a module the check cannot say whose the file is: it says for which modules it is.
  if (parameters.serialNumber == 0)
    display.message(kInfo, "An update would accept this file if the module fits: %s",
                    BirdCheck::Condition(file).c_str());
  else
    display.message(kInfo, "An update would accept this file");
  return 0;
}
