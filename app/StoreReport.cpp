#include "StoreReport.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>

#include "aNumber.h"
#include "store/KeyValueStore.h"
#include "store/UpdaterStore.h"
#include "store/UpdaterStoreItem.h"

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

namespace {

const UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::Info;
const UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::Error;

// A module's directory is named by its serial number as eight upper-case hex
// digits; the recovery loader's serial number names no module.
bool ModuleSerial(const std::string& name, uint32_t& serial) {
  return name.size() == 8 && aNumber_ParseU32(name.c_str(), 16, &serial) == aErrNone &&
         UpdaterStore::DeviceName(serial) == name && serial != ModuleHistory::kLoaderSerial;
}

// Reads the settings without creating them: a report must not change the store.
KeyValueStore ReadSettings(const fs::path& directory) {
  KeyValueStore settings;
  fs::path file = directory / KeyValueStore::DEFAULT_FILENAME;
  std::error_code error;
  if (fs::is_regular_file(file, error))
    settings.Load(file.c_str());
  return settings;
}

StoreContents::Latest LatestOf(const KeyValueStore& settings, const char* key, const char* dateKey) {
  const char* what = settings[key];
  const char* date = settings[dateKey];
  return StoreContents::Latest{what ? what : "", date ? date : ""};
}

bool Chip(const HistoryEvent& e) {
  return e.kind == HistoryEvent::Kind::Recovery || e.kind == HistoryEvent::Kind::Fingerprint;
}

// The module's own events and the chips' events of a fingerprint it was recovered or read with.
std::vector<HistoryEvent> Joined(std::vector<HistoryEvent> own, const std::vector<HistoryEvent>& chips,
                                 std::set<uint64_t>& claimed) {
  std::set<std::string> fingerprints;
  for (const HistoryEvent& e : own)
    if (Chip(e))
      fingerprints.insert(e.fingerprint);
  for (const HistoryEvent& e : chips)
    if (fingerprints.count(e.fingerprint)) {
      own.push_back(e);
      claimed.insert(e.sequence);
    }
  // Dates of one form sort as text; events of one date keep their order.
  std::stable_sort(own.begin(), own.end(),
                   [](const HistoryEvent& a, const HistoryEvent& b) { return a.date < b.date; });
  return own;
}

StoreContents::Module ReadModule(const fs::path& directory, uint32_t serial, const std::vector<HistoryEvent>& chips,
                                 std::set<uint64_t>& claimed) {
  KeyValueStore settings = ReadSettings(directory);
  StoreContents::Module module;
  module.serialNumber = serial;
  module.builds = StoredBuildNumbers(directory.string());
  module.download = LatestOf(settings, UpdaterStoreItem::KEY_LATEST_DOWNLOAD, UpdaterStoreItem::KEY_LAST_DOWNLOAD_DATE);
  module.transfer = LatestOf(settings, UpdaterStoreItem::KEY_LATEST_TRANSFER, UpdaterStoreItem::KEY_LAST_TRANSFER_DATE);
  module.verified = LatestOf(settings, UpdaterStoreItem::KEY_LATEST_VERIFIED, UpdaterStoreItem::KEY_LAST_VERIFIED_DATE);
  module.history = Joined(ModuleHistory::Read(settings), chips, claimed);
  return module;
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

std::string JoinBuilds(const std::vector<uint32_t>& builds) {
  if (builds.empty())
    return "none";
  std::string text;
  for (uint32_t build : builds)
    text += (text.empty() ? "" : ", ") + std::to_string(build);
  return text;
}

void ShowLatest(UpdaterDisplayInterface& display, const char* label, const StoreContents::Latest& latest) {
  if (latest.what.empty())
    display.message(kInfo, "    %-17s none", label);
  else
    display.message(kInfo, "    %-17s %s (%s)", label, latest.what.c_str(),
                    latest.date.empty() ? "date unknown" : latest.date.c_str());
}

std::string BuildAndFile(const HistoryEvent& e) {
  std::string text = e.build ? "build " + std::to_string(e.build) : "a file naming no build";
  return e.file.empty() ? text : text + " (" + e.file + ")";
}

std::string Verification(const HistoryEvent& e) {
  if (e.check == HistoryEvent::kFlashReadBack)
    return "verified: the chip read its flash back identical to the image";
  if (e.check == HistoryEvent::kRunningBuild)
    return "verified: the module came back running build " + std::to_string(e.build);
  return "verified: " + (e.check.empty() ? std::string("no") : e.check);
}

// One history line after its date.
std::string EventText(const HistoryEvent& e) {
  const std::string rom = "the " + e.chip + " boot ROM";
  switch (e.kind) {
    case HistoryEvent::Kind::Download: return "downloaded " + BuildAndFile(e);
    case HistoryEvent::Kind::Transfer: return "transferred " + BuildAndFile(e);
    case HistoryEvent::Kind::Verified: return "verified: running build " + std::to_string(e.build);
    case HistoryEvent::Kind::Fingerprint: return "fingerprint read through " + rom + ": [ " + e.fingerprint + " ]";
    case HistoryEvent::Kind::Recovery:
      if (!e.succeeded)
        return "recovery through " + rom + " with " + BuildAndFile(e) + " FAILED, chip [ " + e.fingerprint + " ]";
      return "recovered through " + rom + " with " + BuildAndFile(e) + ", chip [ " + e.fingerprint + " ]; " +
             Verification(e);
  }
  return std::string();
}

void ShowEvents(UpdaterDisplayInterface& display, const std::vector<HistoryEvent>& events) {
  for (const HistoryEvent& e : events)
    display.message(kInfo, "        %s  %s", e.date.c_str(), EventText(e).c_str());
}

void ShowModule(UpdaterDisplayInterface& display, const StoreContents::Module& module) {
  display.message(kInfo, "Module %08X", module.serialNumber);
  display.message(kInfo, "    %-17s %s", "Stored builds:", JoinBuilds(module.builds).c_str());
  ShowLatest(display, "Latest download:", module.download);
  ShowLatest(display, "Latest transfer:", module.transfer);
  // Recorded once an update has been read back from the module; older stores lack it.
  if (!module.verified.what.empty())
    ShowLatest(display, "Latest verified:", module.verified);
  if (module.history.empty()) {
    display.message(kInfo, "    %-17s none", "History:");
    return;
  }
  display.message(kInfo, "    History:");
  ShowEvents(display, module.history);
}

void ShowStore(UpdaterDisplayInterface& display, const StoreContents& contents) {
  if (contents.modules.empty())
    display.message(kInfo, "No modules stored in %s", contents.directory.c_str());
  else
    display.message(kInfo, "Stored modules in %s:", contents.directory.c_str());
  for (const StoreContents::Module& module : contents.modules)
    ShowModule(display, module);
  if (contents.hasRecoveryImages)
    display.message(kInfo, "Default recovery images (loader serial number %08X): %s", ModuleHistory::kLoaderSerial,
                    JoinBuilds(contents.recoveryImages).c_str());
  if (contents.unclaimed.empty())
    return;
  display.message(kInfo, "Chips read in recovery mode whose module is not known:");
  ShowEvents(display, contents.unclaimed);
}

// The document names chips, fingerprints and proofs as a recovery's result does.
std::string ChipJson(const std::string& chip) {
  return chip == "LPC" ? "lpc" : chip == "i.MX" ? "imx" : "unknown";
}

Json FingerprintJson(const std::string& words) {
  Json list = Json::array();
  size_t at = 0;
  while (at < words.size()) {
    size_t end = words.find(' ', at);
    if (end == std::string::npos)
      end = words.size();
    if (end > at)
      list.push_back(words.substr(at, end - at));
    at = end + 1;
  }
  return list;
}

std::string CheckJson(const std::string& check) {
  if (check == HistoryEvent::kFlashReadBack)
    return "flash_read_back";
  return check == HistoryEvent::kRunningBuild ? "module_return" : check;
}

Json EventJson(const HistoryEvent& e) {
  Json event = {{"kind", HistoryEvent::KindName(e.kind)}, {"date", e.date}};
  if (e.build != 0)
    event["build"] = e.build;
  if (!e.file.empty())
    event["file"] = e.file;
  if (Chip(e)) {
    event["chip"] = ChipJson(e.chip);
    event["fingerprint"] = FingerprintJson(e.fingerprint);
  }
  if (e.kind == HistoryEvent::Kind::Recovery) {
    event["succeeded"] = e.succeeded;
    if (!e.check.empty())
      event["verified_by"] = CheckJson(e.check);
  }
  return event;
}

Json EventsJson(const std::vector<HistoryEvent>& events) {
  Json list = Json::array();
  for (const HistoryEvent& e : events)
    list.push_back(EventJson(e));
  return list;
}

void AddLatest(Json& module, const char* name, const StoreContents::Latest& latest) {
  if (!latest.what.empty())
    module[name] = Json{{"what", latest.what}, {"date", latest.date}};
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

StoreContents ReadStore(const std::string& updaterDirectory, uint32_t serialNumber) {
  StoreContents contents;
  contents.ran = true;
  contents.directory = updaterDirectory;
  fs::path store(updaterDirectory);
  std::vector<HistoryEvent> chips = ModuleHistory::Read(ReadSettings(store / ModuleHistory::kChipsEntry));
  std::set<uint64_t> claimed;
  std::vector<uint32_t> serials;
  if (serialNumber == 0)
    serials = ModuleSerials(store);
  else if (serialNumber != ModuleHistory::kLoaderSerial &&
           fs::is_directory(store / UpdaterStore::DeviceName(serialNumber)))
    serials.push_back(serialNumber);
  for (uint32_t serial : serials)
    contents.modules.push_back(ReadModule(store / UpdaterStore::DeviceName(serial), serial, chips, claimed));
  const fs::path loader = store / UpdaterStore::DeviceName(ModuleHistory::kLoaderSerial);
  contents.hasRecoveryImages = (serialNumber == 0 || serialNumber == ModuleHistory::kLoaderSerial) &&
                               fs::is_directory(loader);
  if (contents.hasRecoveryImages)
    contents.recoveryImages = StoredBuildNumbers(loader.string());
  for (const HistoryEvent& e : chips)
    if (serialNumber == 0 && !claimed.count(e.sequence))
      contents.unclaimed.push_back(e);
  return contents;
}

aErr ReportStore(const std::string& updaterDirectory, uint32_t serialNumber, UpdaterDisplayInterface& display,
                 StoreContents& contents) {
  contents = StoreContents();
  contents.ran = true;
  contents.directory = updaterDirectory;
  try {
    contents = ReadStore(updaterDirectory, serialNumber);
    if (serialNumber != 0 && contents.modules.empty() && !contents.hasRecoveryImages) {
      display.message(kError, "No stored information for module %08X in %s", serialNumber, updaterDirectory.c_str());
      return aErrNotFound;
    }
    if (serialNumber == 0) {
      ShowStore(display, contents);
    } else {
      for (const StoreContents::Module& module : contents.modules)
        ShowModule(display, module);
      if (contents.hasRecoveryImages)
        display.message(kInfo, "Default recovery images (loader serial number %08X): %s", serialNumber,
                        JoinBuilds(contents.recoveryImages).c_str());
    }
    return aErrNone;
  } catch (const fs::filesystem_error& e) {
    display.message(kError, "Could not read the store at %s: %s", updaterDirectory.c_str(), e.what());
    return aErrIO;
  }
}

Json StoreJson(const StoreContents& contents) {
  Json modules = Json::array();
  for (const StoreContents::Module& m : contents.modules) {
    Json module = {{"serial", UpdaterStore::DeviceName(m.serialNumber)}, {"builds", m.builds}};
    AddLatest(module, "latest_download", m.download);
    AddLatest(module, "latest_transfer", m.transfer);
    AddLatest(module, "latest_verified", m.verified);
    module["history"] = EventsJson(m.history);
    modules.push_back(module);
  }
  Json store = {{"directory", contents.directory}, {"modules", modules}};
  if (contents.hasRecoveryImages)
    store["recovery_images"] = contents.recoveryImages;
  store["unclaimed_chips"] = EventsJson(contents.unclaimed);
  return store;
}
