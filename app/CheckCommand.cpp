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

// The checks an update makes before it connects, with the same reasons; empty when it passes.
std::string FileRefusal(BirdFile& file, uint32_t serialNumber) {
  uint32_t serial = serialNumber != 0 ? serialNumber : file.GetSerialNumber();
  std::string reason = BirdCheck::FileReason(file, serial);
  if (!reason.empty())
    return std::string(BirdCheck::kRefusal) + ": " + reason;
  if (file.hasSerialNumberOffsets && !file.ReplaceSerialNumber(serial))
    return "Unable to modify serial number in bird file";
  return std::string();
}

// With -d the module's model is that of the newest build stored for it (-OVERRIDE skips this).
std::string ModelRefusal(const BirdFile& file, uint32_t serialNumber, const std::string& directory,
                         UpdaterDisplayInterface& display) {
  std::string moduleDirectory = directory + "/" + UpdaterStore::DeviceName(serialNumber);
  std::string model = StoredModel(moduleDirectory);
  if (model.empty()) {
    display.message(kInfo, "No stored build of module %08X to compare the model with", serialNumber);
    return std::string();
  }
  std::string reason = BirdCheck::ModelReason(file, model.c_str());
  return reason.empty() ? reason : std::string(BirdCheck::kRefusal) + ": " + reason;
}

// The verdict and the line that says it.
CheckVerdict Say(UpdaterDisplayInterface& display, CheckVerdict verdict, CheckVerdict::Verdict is,
                 const std::string& line) {
  verdict.verdict = is;
  verdict.reason = line;
  display.message(is == CheckVerdict::Refused ? kError : kInfo, "%s", line.c_str());
  return verdict;
}

// A refusal, with the code an update gives it.
CheckVerdict Refuse(UpdaterDisplayInterface& display, CheckVerdict verdict, aErr error, const std::string& line) {
  verdict.error = error;
  return Say(display, verdict, CheckVerdict::Refused, line);
}

// The file read as an update reads it; an empty reason when it loaded.
std::string LoadRefusal(const std::string& path, BirdFile& file) {
  if (access(path.c_str(), R_OK) != 0)
    return "Cannot read BIRD file " + path + ": " + strerror(errno);
  if (!BirdFile::VerifyFile(path.c_str()))
    return "Not a BIRD file: " + path;
  try {
    file = BirdFile(path.c_str());
  } catch (const std::exception& e) {
    // The loader's text names the file and what in it is wrong.
    return e.what();
  }
  return std::string();
}

}  // namespace

CheckVerdict CheckBirdFile(const Parameters& parameters, const std::string& updaterDirectory,
                           UpdaterDisplayInterface& display) {
  CheckVerdict verdict;
  verdict.file = parameters.birdFile;
  if (verdict.file.empty())
    return Refuse(display, verdict, aErrParam, "-C must name the BIRD file to check via -f");
  BirdFile file;
  std::string refusal = LoadRefusal(verdict.file, file);
  if (!refusal.empty())
    return Refuse(display, verdict, aErrParse, refusal);
  ImageVerdict signature = ImageTrust::Judge(file, updaterDirectory);
  if (!signature.Accepted())
    return Refuse(display, verdict, aErrParse, signature.Refusal());
  Describe(display, file);
  display.message(kInfo, "    Signature:      %s", signature.Describe().c_str());
  refusal = FileRefusal(file, parameters.serialNumber);
  if (!refusal.empty())
    return Refuse(display, verdict, aErrParse, refusal);
  // An update refuses a module of another model once it has read the module.
  if (parameters.serialNumber != 0 && !parameters.override)
    refusal = ModelRefusal(file, parameters.serialNumber, updaterDirectory, display);
  if (!refusal.empty())
    return Refuse(display, verdict, aErrParam, refusal);
  // Without a module the check cannot say whose the file is: it says for which modules it is.
  if (parameters.serialNumber == 0)
    return Say(display, verdict, CheckVerdict::AcceptedIfFits,
               "An update would accept this file if the module fits: " + BirdCheck::Condition(file));
  return Say(display, verdict, CheckVerdict::Accepted, "An update would accept this file");
}
