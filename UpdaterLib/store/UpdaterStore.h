// The updater directory: one subdirectory per module, named "%08X" by its
// serial number.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "store/UpdaterStoreItem.h"

class UpdaterStore {
public:
  // Ensures the directory exists; throws std::runtime_error when it cannot be
  // created or is a file.
  explicit UpdaterStore(const std::string& path);

  const char* BasePath() const { return basePath.c_str(); }

  // Ensures the module's directory and returns its entry (settings loaded or
  // created); throws like the constructor.
  UpdaterStoreItem AddDevice(uint32_t serialNumber);
  UpdaterStoreItem AddDevice(const char* name);

  // True when the directory holds an entry of that name; `item` is then
  // filled in (and left untouched otherwise).
  bool FindDevice(uint32_t serialNumber, UpdaterStoreItem* item = nullptr);
  bool FindDevice(const char* name, UpdaterStoreItem* item = nullptr);

  // Appends one item per entry of the module's directory whose name does not
  // begin with "."; always true.
  bool FindLocalBuilds(uint32_t serialNumber, std::vector<UpdaterStoreItem>& items);

  static std::string DeviceName(uint32_t serialNumber);

  std::string basePath;
};
