// Which build -U writes into a module when neither -b nor -f names one: the server's
// latest when the store holds its file, else the latest download, else the latest
// transfer. Shared by the update and by the plans that must agree with it.
#pragma once
#include <cstdint>
#include <string>

#include "UpdaterDisplayInterface.h"

class UpdaterStoreItem;

namespace BuildChoice {

// `build` when it is not 0; otherwise the choice above, said on `display` as the update
// says it. 0 (with "Could not find valid build for this device.") when there is none.
uint32_t Choose(const std::string& serverUrl, UpdaterStoreItem& item, uint32_t serialNumber, uint32_t build,
                UpdaterDisplayInterface& display);

// The name of a build's file in a module's store entry: "1420.bird".
std::string FileName(uint32_t build);

}  // namespace BuildChoice
