#include "update/UpdatePlan.h"

#include <stdexcept>

#include "aDefs.h"
#include "image/BirdFile.h"
#include "image/BuildNumber.h"
#include "server/UpdateServerRequest.h"
#include "store/UpdaterStore.h"
#include "update/BirdCheck.h"
#include "update/BuildChoice.h"

namespace {

// Keeps the last error of a choice made in silence.
class QuietDisplay : public UpdaterDisplayInterface {
public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char*) override {}
  void error_message(const char* text) override { last = text; }
  std::string last;
};

}  // namespace

UpdatePlan::Module UpdatePlan::For(uint32_t serialNumber, const DeviceInfo* device) const {
  Module plan;
  plan.serialNumber = serialNumber;
  if (device == nullptr) {
    plan.problem = "not found by discovery";
    plan.error = aErrNotFound;
    return plan;
  }
  plan.found = true;
  plan.device = *device;
  if (device->error != 0) {
    plan.problem = "could not be read [" + std::to_string(device->error) + ", " + aError_GetErrorText(device->error) + "]";
    plan.error = static_cast<aErr>(device->error);
    return plan;
  }
  if (!request_.birdFile.empty())
    fromFile(plan);
  else if (request_.download)
    fromServer(plan);
  else
    fromStore(plan);
  plan.current = plan.problem.empty() && plan.buildWanted != 0 && plan.buildWanted == device->build;
  return plan;
}

// The update's own judgement of the file for this module, in the update's words.
void UpdatePlan::checkFile(Module& plan, const BirdFile& file) const {
  std::string reason = BirdCheck::FileReason(file, plan.serialNumber);
  plan.error = aErrParse;
  if (reason.empty() && !request_.override) {
    reason = BirdCheck::ModelReason(file, aDefs_GetModelName(plan.device.spec.model));
    plan.error = aErrParam;
  }
  if (!reason.empty())
    plan.problem = std::string(BirdCheck::kRefusal) + ": " + reason;
  else
    plan.error = aErrNone;
}

// -f: the file's own build, else the one -b names.
void UpdatePlan::fromFile(Module& plan) const {
  plan.source = request_.birdFile;
  try {
    BirdFile file(request_.birdFile.c_str());
    plan.buildWanted = file.GetBuild() != 0 ? file.GetBuild() : request_.build;
    checkFile(plan, file);
  } catch (const std::exception& e) {
    plan.problem = e.what();
    plan.error = aErrParse;
  }
}

// -G: the build -b names, else the server's latest; it would be downloaded first.
void UpdatePlan::fromServer(Module& plan) const {
  plan.source = "server " + request_.serverUrl;
  plan.buildWanted = request_.build;
  if (plan.buildWanted != 0) return;
  std::string text, firmware, cause;
  UpdateServerRequest::QueryBuild(plan.serialNumber, text, firmware, request_.serverUrl.c_str(), &cause);
  if (!BuildNumber::FromServerLine(text, plan.buildWanted) || plan.buildWanted == 0) {
    plan.buildWanted = 0;
    plan.problem = "the server named no build" + (cause.empty() ? std::string() : ": " + cause);
    plan.error = aErrNotFound;
  }
}

// Neither: the build the update would choose, from the module's store entry.
void UpdatePlan::fromStore(Module& plan) const {
  aErr failing = aErrIO;  // the store unread, as the update says it; past it the file fails to load
  try {
    UpdaterStore store(request_.updaterDirectory);
    UpdaterStoreItem item;
    store.FindDevice(plan.serialNumber, &item);
    failing = aErrParse;
    QuietDisplay quiet;
    plan.buildWanted = BuildChoice::Choose(request_.serverUrl, item, plan.serialNumber, request_.build, quiet);
    if (plan.buildWanted == 0) {
      plan.problem = quiet.last;
      plan.error = aErrNotFound;
      return;
    }
    const std::string name = BuildChoice::FileName(plan.buildWanted);
    plan.source = item.IsValid() ? item.Path() + "/" + name : name;
    if (!item.IsValid()) {
      plan.problem = "no store entry for the module";
      plan.error = aErrParse;
      return;
    }
    BirdFile file = item.ReadBirdFile(name.c_str());
    checkFile(plan, file);
  } catch (const std::exception& e) {
    plan.problem = e.what();
    plan.error = failing;
  }
}
