// Console renderings of command results, all at info level.
#pragma once
#include <cstdint>
#include <vector>

#include "Updater.h"
#include "UpdaterDisplayInterface.h"

void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices, uint32_t transport);
void _display_builds(UpdaterDisplayInterface& display, const BuildList& builds, uint32_t serialNumber);
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);
