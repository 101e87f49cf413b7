// -I: what the store knows about each module (or the one named by -d): its
// stored builds, its latest download, transfer and verification, and the dated
// history of everything that touched it. The same contents make -I's JSON.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "UpdaterDisplayInterface.h"
#include "aError.h"
#include "store/ModuleHistory.h"

struct StoreContents {
  // A LATEST_* key and its date, as the settings hold them.
  struct Latest {
    std::string what;  // empty when never recorded
    std::string date;
  };
  struct Module {
    uint32_t serialNumber = 0;
    std::vector<uint32_t> builds;
    Latest download, transfer, verified;
    // Its own events and the reads of its chip made before the module was
    // known, oldest first.
    std::vector<HistoryEvent> history;
  };

  bool ran = false;
  std::string directory;
  std::vector<Module> modules;
  // The server's default recovery images, kept under the loader's serial number.
  std::vector<uint32_t> recoveryImages;
  bool hasRecoveryImages = false;
  // Chips read or recovered with no module known that no module's history claims.
  std::vector<HistoryEvent> unclaimed;
};

// The store's contents; a serial number of 0 reads every module. Throws
// std::filesystem::filesystem_error when the store cannot be read.
StoreContents ReadStore(const std::string& updaterDirectory, uint32_t serialNumber);

// aErrNone on success; aErrNotFound when the module named is not in the store,
// aErrIO when the store cannot be read. A serial number of 0 lists every module. `contents` receives
// what was shown, for the run's JSON result (no modules when the store could
// not be read: the report has said why).
aErr ReportStore(const std::string& updaterDirectory, uint32_t serialNumber, UpdaterDisplayInterface& display,
                 StoreContents& contents);

// The "store" member of -I's JSON.
nlohmann::ordered_json StoreJson(const StoreContents& contents);

// The build numbers of the BIRD files ("<build>.bird") in one module's store
// directory, ascending; empty when there are none or the directory is missing.
std::vector<uint32_t> StoredBuildNumbers(const std::string& moduleDirectory);
