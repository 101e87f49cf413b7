// -I: what the store knows about each module (or the one named by -d): its
// stored builds and its latest download, transfer and verification.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"

// 0 on success; 1 when the module named is not in the store or the store
// cannot be read. A serial number of 0 lists every module.
int ReportStore(const std::string& updaterDirectory, uint32_t serialNumber, UpdaterDisplayInterface& display);

// The build numbers of the BIRD files ("<build>.bird") in one module's store
// directory, ascending; empty when there are none or the directory is missing.
std::vector<uint32_t> StoredBuildNumbers(const std::string& moduleDirectory);
