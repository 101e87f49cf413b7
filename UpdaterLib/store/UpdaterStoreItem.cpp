#include "store/UpdaterStoreItem.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <stdexcept>

#include "store/AtomicFile.h"
#include "store/BuildPath.h"
#include "store/StoreLock.h"
#include "image/BuildNumber.h"
#include "Log.h"
#include "aDirectory.h"

UpdaterStoreItem::UpdaterStoreItem() = default;

UpdaterStoreItem::UpdaterStoreItem(const std::string& basePath_, const std::string& name_, store_item_t type_)
    : basePath(basePath_), name(name_), type(type_) {
  std::string file = BuildPath(basePath.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr);
  struct stat info;
  if (type == STORE_ITEM_DIRECTORY && lstat(file.c_str(), &info) != 0 && errno == ENOENT) {
    // Made by the first record, not by a look: an entry that never records
    // anything (a module that was not found) leaves no file behind.
    settings.filename = file;
    settings.Add(KeyValueStore::KEY_CREATED_TIME, KeyValueStore::Timestamp());
    return;
  }
  settings.Load(file.c_str());
}

void UpdaterStoreItem::CreateSettings() {
  std::string file = BuildPath(basePath.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr);
  struct stat info;
  if (!IsValid() || lstat(file.c_str(), &info) == 0)
    return;
  // The load creates the missing file: under the lock, so that a creation
  // racing with another run's first record cannot replace that record.
  StoreLock lock = StoreLock::ForEntry(Path(), nullptr);
  settings.Load(file.c_str());
}

bool UpdaterStoreItem::SaveSettings(UpdaterDisplayInterface* display) {
  // An item that names no entry has nothing to lock; its file is written as before.
  auto history = [this](KeyValueStore& current) { ModuleHistory::Append(current, events); };
  if (!IsValid()) {
    history(settings);
    settings.Save();
    return !settings.modified;
  }
  StoreLock lock = StoreLock::ForEntry(Path(), display);
  if (!lock.Held())
    return false;
  std::vector<HistoryEvent> pending = events;
  settings.SaveChanges(history);
  const bool saved = !settings.modified && settings.changed.empty();
  // Not written: the events wait for another try, with slots chosen anew then.
  if (!saved)
    events = pending;
  return saved;
}

void UpdaterStoreItem::AddEvent(HistoryEvent event) {
  const std::string directory = Path() + aDIR_PATH_SEP;
  if (IsValid() && event.file.compare(0, directory.size(), directory) == 0 &&
      event.file.find(aDIR_PATH_SEP_CHAR, directory.size()) == std::string::npos)
    event.file.erase(0, directory.size());
  events.push_back(event);
}

bool UpdaterStoreItem::IsValid() const { return !basePath.empty() && !name.empty(); }

std::string UpdaterStoreItem::Path() const { return BuildPath(basePath.c_str(), name.c_str(), nullptr); }

namespace {
struct result_t {
  bool found = false;
  const char* name = nullptr;
  UpdaterStoreItem* item = nullptr;
};

const char* sEntryName(const char* path) {
  const char* slash = strrchr(path, aDIR_PATH_SEP_CHAR);
  return slash ? slash + 1 : path;
}

bool _find_item(const aDirectoryListData* data, void* user) {
  result_t* result = static_cast<result_t*>(user);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", data->path, data->isDirectory,
           data->size, result->name);
  const char* entry = sEntryName(data->path);
  // The entry's own name must equal the one sought: matching anywhere in the
  // full path would let build 123 find "1123.bird", or any entry match when
  // the store's own path happens to contain the name.
  if (!strcmp(entry, ".") || !strcmp(entry, "..") || strcmp(entry, result->name) != 0)
    return true;
  result->found = true;
  if (result->item) {
    std::string path(data->path);
    std::string base = path.substr(0, static_cast<size_t>(entry - data->path) - 1);
    *result->item = UpdaterStoreItem(base, entry, data->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
  }
  return false;
}

}  // namespace

bool UpdaterStoreItem::FindEntry(const std::string& directory, const char* name, UpdaterStoreItem* item) {
  if (!name || !*name)
    return false;
  result_t result;
  result.name = name;
  result.item = item;
  aDirectory_List(directory.c_str(), _find_item, &result);
  return result.found;
}

bool UpdaterStoreItem::FileExists(const char* fileName) const { return FindEntry(Path(), fileName, nullptr); }

// A plain name: no separator, not "." or "..", so a write stays inside the
// item's directory.
static bool sIsPlainName(const char* fileName) {
  return fileName && *fileName && !strchr(fileName, aDIR_PATH_SEP_CHAR) && strcmp(fileName, ".") != 0 &&
         strcmp(fileName, "..") != 0;
}

aErr UpdaterStoreItem::WriteFile(const char* fileName, const uint8_t* bytes, size_t length, std::string* problem) {
  if (!bytes || !sIsPlainName(fileName)) {
    if (problem)
      *problem = std::string(fileName ? fileName : "") + (bytes ? ": not a plain file name" : ": no contents");
    return bytes ? aErrParam : aErrNotFound;
  }
  // What an interrupted or killed earlier write left behind goes now; a later
  // -G must not keep piling them up.
  int stale = StoreLock::HeldHere(StoreLock::EntryLockPath(Path())) ? RemoveStalePartials(Path()) : 0;
  if (stale)
    Log::log(DEBUG_Updater, "UpdaterStore: removed %d stale partial file(s) in [%s].\n", stale, Path().c_str());
  std::string path = BuildPath(basePath.c_str(), name.c_str(), fileName, nullptr);
  // A new file replaces the old one only once it is completely written, so a
  // failed download never destroys a good file stored under the same name.
  int error = 0;
  switch (ReplaceFileContents(path, bytes, length, &error)) {
    case ReplaceResult::Ok:
      return aErrNone;
    case ReplaceResult::CannotCreate:
      Log::log(DEBUG_Updater, "UpdaterStore: cannot create [%s] (%d).\n", path.c_str(), error);
      if (problem)
        *problem = path + ": " + strerror(error);
      return aErrNotFound;
    case ReplaceResult::Interrupted:
      Log::log(DEBUG_Updater, "UpdaterStore: writing [%s] interrupted.\n", path.c_str());
      return aErrCancel;
    case ReplaceResult::WriteFailed:
      break;
  }
  Log::log(DEBUG_Updater, "UpdaterStore: writing [%s] failed (%d).\n", path.c_str(), error);
  if (problem)
    *problem = path + ": " + strerror(error);
  return aErrIO;
}

// "1310.bird" -> "1310"; empty for a name that is not a build's file.
static std::string sBuildOfFileName(const std::string& fileName) {
  size_t dot = fileName.find('.');
  uint32_t build = 0;
  if (dot == std::string::npos || fileName.compare(dot, std::string::npos, ".bird") != 0 ||
      !BuildNumber::FromText(fileName.substr(0, dot), build))
    return std::string();
  return fileName.substr(0, dot);
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* fileName) const {
  std::string path = BuildPath(basePath.c_str(), name.c_str(), fileName ? fileName : "", nullptr);
  struct stat info;
  std::string build = sBuildOfFileName(fileName ? fileName : "");
  // A build that was never downloaded: say how to get it.
  if (stat(path.c_str(), &info) != 0 && errno == ENOENT && !build.empty())
    throw std::runtime_error("Failed to load bird file: build " + build + " is not in the store; run: updater -G -d " +
                             name + " -b " + build);
  std::string problem;
  if (!BirdFile::CheckHeader(path.c_str(), problem))
    throw std::runtime_error("Failed to load bird file " + path + ": " + problem);
  // The loader names the path and what is wrong with the rest.
  return BirdFile(path.c_str());
}
