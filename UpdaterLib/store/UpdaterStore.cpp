#include "store/UpdaterStore.h"

#include <cstring>
#include <stdexcept>
#include <sys/stat.h>

#include "store/BuildPath.h"
#include "Log.h"
#include "aDirectory.h"

namespace {

void _ensure_directory(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    aErr err = aDirectory_Ensure(path.c_str(), 0755);
    if (err != aErrNone)
      throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " + std::to_string(err));
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
  } else if (!S_ISDIR(info.st_mode)) {
    throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
  } else {
    Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
  }
}

}  // namespace

UpdaterStore::UpdaterStore(const std::string& path) : basePath(path) { _ensure_directory(basePath); }

std::string UpdaterStore::DeviceName(uint32_t serialNumber) {
  char name[9];
  snprintf(name, sizeof(name), "%08X", serialNumber);
  return name;
}

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serialNumber) { return AddDevice(DeviceName(serialNumber).c_str()); }

UpdaterStoreItem UpdaterStore::AddDevice(const char* name) {
  // Entry names come from serial numbers; anything that could leave the
  // updater directory is refused.
  if (!name || !*name || strchr(name, aDIR_PATH_SEP_CHAR) || !strcmp(name, ".") || !strcmp(name, ".."))
    throw std::runtime_error(std::string("UpdaterStore: invalid device name [") + (name ? name : "") + "]");
  _ensure_directory(BuildPath(basePath.c_str(), name, nullptr));
  UpdaterStoreItem item(basePath, name, STORE_ITEM_DIRECTORY);
  item.CreateSettings();
  return item;
}

bool UpdaterStore::FindDevice(uint32_t serialNumber, UpdaterStoreItem* item) {
  return FindDevice(DeviceName(serialNumber).c_str(), item);
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* item) {
  bool found = UpdaterStoreItem::FindEntry(basePath, name, item);
  Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", found ? "Found" : "Not Found", name ? name : "");
  return found;
}

namespace {
struct BuildListing {
  std::string directory;
  std::vector<UpdaterStoreItem>* items;
};

bool _find_items(const aDirectoryListData* data, void* user) {
  BuildListing* listing = static_cast<BuildListing*>(user);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", data->path, data->isDirectory, data->size);
  const char* slash = strrchr(data->path, aDIR_PATH_SEP_CHAR);
  const char* entry = slash ? slash + 1 : data->path;
  if (entry[0] == '.')
    return true;  // ".", ".." and hidden files such as the settings file
  listing->items->push_back(
      UpdaterStoreItem(listing->directory, entry, data->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE));
  return true;
}

}  // namespace

bool UpdaterStore::FindLocalBuilds(uint32_t serialNumber, std::vector<UpdaterStoreItem>& items) {
  UpdaterStoreItem device;
  if (!FindDevice(serialNumber, &device))
    return true;
  BuildListing listing{device.Path(), &items};
  aDirectory_List(listing.directory.c_str(), _find_items, &listing);
  return true;
}
