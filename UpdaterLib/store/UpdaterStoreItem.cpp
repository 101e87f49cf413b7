#include "store/UpdaterStoreItem.h"

#include <cstring>
#include <stdexcept>

#include "store/AtomicFile.h"
#include "store/BuildPath.h"
#include "Log.h"
#include "aDirectory.h"

UpdaterStoreItem::UpdaterStoreItem() = default;

UpdaterStoreItem::UpdaterStoreItem(const std::string& basePath_, const std::string& name_, store_item_t type_)
    : basePath(basePath_), name(name_), type(type_) {
  settings.Load(BuildPath(basePath.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr).c_str());
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

aErr UpdaterStoreItem::WriteFile(const char* fileName, const uint8_t* bytes, size_t length) {
  if (!bytes)
    return aErrNotFound;
  if (!sIsPlainName(fileName))
    return aErrParam;
  std::string path = BuildPath(basePath.c_str(), name.c_str(), fileName, nullptr);
  // A new file replaces the old one only once it is completely written, so a
  // failed download never destroys a good file stored under the same name.
  int error = 0;
  switch (ReplaceFileContents(path, bytes, length, &error)) {
    case ReplaceResult::Ok:
      return aErrNone;
    case ReplaceResult::CannotCreate:
      Log::log(DEBUG_Updater, "UpdaterStore: cannot create [%s] (%d).\n", path.c_str(), error);
      return aErrNotFound;
    case ReplaceResult::WriteFailed:
      break;
  }
  Log::log(DEBUG_Updater, "UpdaterStore: writing [%s] failed (%d).\n", path.c_str(), error);
  return aErrIO;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* fileName) const {
  std::string path = BuildPath(basePath.c_str(), name.c_str(), fileName ? fileName : "", nullptr);
  if (!BirdFile::VerifyFile(path.c_str()))
    throw std::runtime_error("Invalid bird " + path);
  return BirdFile(path.c_str());
}
