// One entry of the updater directory: normally a module's directory with its
// settings file and downloaded BIRD files.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image/BirdFile.h"
#include "store/ModuleHistory.h"
#include "store/KeyValueStore.h"
#include "aError.h"

class UpdaterDisplayInterface;

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
  // Loads basePath/name/.settings; a missing file is left to the first save
  // (or CreateSettings), so looking at an entry never writes into it.
  UpdaterStoreItem(const std::string& basePath, const std::string& name, store_item_t type);
  // Writes the settings file with its creation time when there is none yet.
  void CreateSettings();

  bool IsValid() const;
  // basePath/name: the item's own directory (or file).
  std::string Path() const;
  // Whether the item's directory holds an entry of that name.
  bool FileExists(const char* fileName) const;
  // Records the settings added since they were loaded: under the entry's lock
  // the file is read again and only those keys are written into it, so a run
  // never undoes what another run recorded meanwhile. False when the lock
  // could not be had (a busy holder the user was told about) or the file
  // could not be written; the debug log says which.
  // The events added since are written with them, each into the next slot of
  // the history as the file holds it then.
  bool SaveSettings(UpdaterDisplayInterface* display = nullptr);
  // Adds an event for the next SaveSettings; a file in this entry's directory
  // is named by its name alone.
  void AddEvent(HistoryEvent event);
  // Replaces basePath/name/fileName with the bytes; aErrNotFound when there
  // are no bytes or the file cannot be created, aErrIO when writing fails,
  // aErrCancel when a Ctrl-C or termination request stopped it (nothing is
  // left behind). When the caller holds the entry's lock, first removes the
  // temporaries of earlier broken writes (without it, one of them could be a
  // file another process is writing right now).
  // `problem`, when given, receives the path and the system's reason of a failure.
  aErr WriteFile(const char* fileName, const uint8_t* bytes, size_t length, std::string* problem = nullptr);
  // Throws std::runtime_error starting "Failed to load bird file": for a
  // build's file that is not there it names the command that fetches it,
  // otherwise the path and what is wrong with it.
  BirdFile ReadBirdFile(const char* fileName) const;

  // Lists `directory` for an entry named `name`; when found and `item` is
  // given, fills it in (loading the entry's settings).
  static bool FindEntry(const std::string& directory, const char* name, UpdaterStoreItem* item);

  std::string basePath;
  std::string name;
  store_item_t type = STORE_ITEM_NONE;
  KeyValueStore settings;
  // Added and not yet saved.
  std::vector<HistoryEvent> events;
};
