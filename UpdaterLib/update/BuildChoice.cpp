#include "update/BuildChoice.h"

#include <stdexcept>

#include "Log.h"
#include "image/BirdFile.h"
#include "image/BuildNumber.h"
#include "server/UpdateServerRequest.h"
#include "store/UpdaterStoreItem.h"

namespace {

// The server's latest build; 0 for a line that is not a build number.
uint32_t sBuildFromText(const std::string& text) {
  uint32_t build = 0;
  if (!BuildNumber::FromServerLine(text, build)) {
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
    return 0;
  }
  return build;
}

bool sReadable(UpdaterStoreItem& item, uint32_t build) {
  if (!item.IsValid()) return false;
  try {
    BirdFile file = item.ReadBirdFile(BuildChoice::FileName(build).c_str());
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

uint32_t sStoredBuild(UpdaterStoreItem& item, const char* key) {
  int value = item.settings.GetInt(key, 0);
  return value > 0 ? static_cast<uint32_t>(value) : 0;
}

}  // namespace

std::string BuildChoice::FileName(uint32_t build) { return std::to_string(build) + ".bird"; }

uint32_t BuildChoice::Choose(const std::string& serverUrl, UpdaterStoreItem& item, uint32_t serialNumber,
                             uint32_t build, UpdaterDisplayInterface& display) {
  if (build == 0) {
    std::string text, firmware;
    UpdateServerRequest::QueryBuild(serialNumber, text, firmware, serverUrl.c_str());
    build = sBuildFromText(text);
    if (build != 0 && !sReadable(item, build)) {
      build = 0;
      display.message(UpdaterDisplayInterface::Info,
                      "New firmware is available.  Updater will proceed if valid firmware is found locally.");
    }
  }
  if (build == 0) {
    build = sStoredBuild(item, UpdaterStoreItem::KEY_LATEST_DOWNLOAD);
    if (build != 0) display.message(UpdaterDisplayInterface::Info, "Updating with the Latest Download");
  }
  if (build == 0) {
    build = sStoredBuild(item, UpdaterStoreItem::KEY_LATEST_TRANSFER);
    if (build != 0) display.message(UpdaterDisplayInterface::Info, "Updating with the Latest Transfer");
  }
  if (build == 0) display.message(UpdaterDisplayInterface::Error, "Could not find valid build for this device.");
  return build;
}
