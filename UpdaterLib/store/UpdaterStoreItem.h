// One entry of the updater directory: normally a module's directory with its
// settings file and downloaded BIRD files.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "image/BirdFile.h"
#include "store/KeyValueStore.h"
#include "aError.h"

typedef enum {
  STORE_ITEM_FILE = 0,
  STORE_ITEM_DIRECTORY = 1,
  STORE_ITEM_NONE = 2,
} store_item_t;

class UpdaterStoreItem {
public:
  // The history a module's settings record.
  static constexpr const char* KEY_LATEST_DOWNLOAD = "LATEST_DOWNLOAD";
  static constexpr const char* KEY_LAST_DOWNLOAD_DATE = "LAST_DOWNLOAD_DATE";
  static constexpr const char* KEY_LATEST_TRANSFER = "LATEST_TRANSFER";
  static constexpr const char* KEY_LAST_TRANSFER_DATE = "LAST_TRANSFER_DATE";
  // The build the module was seen running after its last update, and when.
  static constexpr const char* KEY_LATEST_VERIFIED = "LATEST_VERIFIED";
  static constexpr const char* KEY_LAST_VERIFIED_DATE = "LAST_VERIFIED_DATE";

  UpdaterStoreItem();
  // Loads basePath/name/.settings, creating it when missing.
  UpdaterStoreItem(const std::string& basePath, const std::string& name, store_item_t type);

  bool IsValid() const;
  // basePath/name: the item's own directory (or file).
  std::string Path() const;
  // Whether the item's directory holds an entry of that name.
  bool FileExists(const char* fileName) const;
  // Replaces basePath/name/fileName with the bytes; aErrNotFound when there
  // are no bytes or the file cannot be created, aErrIO when writing fails,
  // aErrCancel when a Ctrl-C or termination request stopped it (nothing is
  // left behind). Removes the temporaries of earlier broken writes first.
  aErr WriteFile(const char* fileName, const uint8_t* bytes, size_t length);
  // Throws std::runtime_error starting "Failed to load bird file": for a
  // build's file that is not there it names the command that fetches it,
  // otherwise the path and what is wrong with it.
  BirdFile ReadBirdFile(const char* fileName) const;

  // Lists `directory` for an entry named `name`; when found and `item` is
  // given, fills it in (loading or creating the entry's settings).
  static bool FindEntry(const std::string& directory, const char* name, UpdaterStoreItem* item);

  std::string basePath;
  std::string name;
  store_item_t type = STORE_ITEM_NONE;
  KeyValueStore settings;
};
