#include "StoreReport.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "aNumber.h"
#include "store/KeyValueStore.h"
#include "store/UpdaterStore.h"
#include "store/UpdaterStoreItem.h"

namespace fs = std::filesystem;

namespace {

const UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::Info;
const UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::Error;

// Recorded once an update has been read back from the module; older stores lack them.
const char* const kLatestVerified = UpdaterStoreItem::KEY_LATEST_VERIFIED;
const char* const kLastVerifiedDate = UpdaterStoreItem::KEY_LAST_VERIFIED_DATE;

// A module's directory is named by its serial number as eight upper-case hex digits.
bool ModuleSerial(const std::string& name, uint32_t& serial) {
  return name.size() == 8 && aNumber_ParseU32(name.c_str(), 16, &serial) == aErrNone &&
         UpdaterStore::DeviceName(serial) == name;
}

// Reads the settings without creating them: a report must not change the store.
KeyValueStore ReadSettings(const fs::path& moduleDirectory) {
  KeyValueStore settings;
  fs::path file = moduleDirectory / KeyValueStore::DEFAULT_FILENAME;
  std::error_code error;
  if (fs::is_regular_file(file, error))
    settings.Load(file.c_str());
  return settings;
}

std::string JoinBuilds(const std::vector<uint32_t>& builds) {
  if (builds.empty())
    return "none";
  std::string text;
  for (uint32_t build : builds)
    text += (text.empty() ? "" : ", ") + std::to_string(build);
  return text;
}

void ShowEvent(UpdaterDisplayInterface& display, const KeyValueStore& settings, const char* label, const char* key,
               const char* dateKey) {
  const char* what = settings[key];
  if (!what || !*what) {
    display.message(kInfo, "    %-17s none", label);
    return;
  }
  const char* date = settings[dateKey];
  display.message(kInfo, "    %-17s %s (%s)", label, what, date && *date ? date : "date unknown");
}

void ReportModule(UpdaterDisplayInterface& display, const fs::path& directory, uint32_t serial) {
  KeyValueStore settings = ReadSettings(directory);
  display.message(kInfo, "Module %08X", serial);
  display.message(kInfo, "    %-17s %s", "Stored builds:", JoinBuilds(StoredBuildNumbers(directory.string())).c_str());
  ShowEvent(display, settings, "Latest download:", UpdaterStoreItem::KEY_LATEST_DOWNLOAD,
            UpdaterStoreItem::KEY_LAST_DOWNLOAD_DATE);
  ShowEvent(display, settings, "Latest transfer:", UpdaterStoreItem::KEY_LATEST_TRANSFER,
            UpdaterStoreItem::KEY_LAST_TRANSFER_DATE);
  if (settings[kLatestVerified])
    ShowEvent(display, settings, "Latest verified:", kLatestVerified, kLastVerifiedDate);
}

std::vector<uint32_t> ModuleSerials(const fs::path& store) {
  std::vector<uint32_t> serials;
  for (const fs::directory_entry& entry : fs::directory_iterator(store)) {
    uint32_t serial = 0;
    if (entry.is_directory() && ModuleSerial(entry.path().filename().string(), serial))
      serials.push_back(serial);
  }
  std::sort(serials.begin(), serials.end());
  return serials;
}

int ReportAll(const fs::path& store, UpdaterDisplayInterface& display) {
  std::vector<uint32_t> serials = ModuleSerials(store);
  if (serials.empty()) {
    display.message(kInfo, "No modules stored in %s", store.c_str());
    return 0;
  }
  display.message(kInfo, "Stored modules in %s:", store.c_str());
  for (uint32_t serial : serials)
    ReportModule(display, store / UpdaterStore::DeviceName(serial), serial);
  return 0;
}

}  // namespace

std::vector<uint32_t> StoredBuildNumbers(const std::string& moduleDirectory) {
  std::vector<uint32_t> builds;
  std::error_code error;
  for (fs::directory_iterator it(moduleDirectory, error), end; !error && it != end; it.increment(error)) {
    const fs::path& path = it->path();
    uint32_t build = 0;
    if (path.extension() == ".bird" && it->is_regular_file(error) &&
        aNumber_ParseU32(path.stem().c_str(), 10, &build) == aErrNone)
      builds.push_back(build);
  }
  std::sort(builds.begin(), builds.end());
  return builds;
}

int ReportStore(const std::string& updaterDirectory, uint32_t serialNumber, UpdaterDisplayInterface& display) {
  try {
    fs::path store(updaterDirectory);
    if (serialNumber == 0)
      return ReportAll(store, display);
    fs::path module = store / UpdaterStore::DeviceName(serialNumber);
    if (!fs::is_directory(module)) {
      display.message(kError, "No stored information for module %08X in %s", serialNumber, store.c_str());
      return 1;
    }
    ReportModule(display, module, serialNumber);
    return 0;
  } catch (const fs::filesystem_error& e) {
    display.message(kError, "Could not read the store at %s: %s", updaterDirectory.c_str(), e.what());
    return 1;
  }
}
