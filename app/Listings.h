// Console renderings of command results, all at info level.
#pragma once
#include <cstdint>
#include <vector>

#include "UnopenableModules.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"

// The front end's own helpers: their names begin with an underscore, so they
// live in a namespace (such names are reserved at global scope).
namespace cli {

// Modules that were seen but may not be opened follow the others, each with its reason.
void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices, uint32_t transport,
                          const std::vector<UnopenableModule>& unopenable = {});
void _display_builds(UpdaterDisplayInterface& display, const BuildList& builds, uint32_t serialNumber);
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);

}  // namespace cli
