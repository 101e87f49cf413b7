#include "Listings.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "ResultLines.h"
#include "aDefs.h"

namespace {

const UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::Info;

const char* LinkTypeName(uint32_t type) {
  switch (type) {
    case linkTypeUSB: return "USB";
    case linkTypeTCPIP: return "TCPIP";
    default: return "Unknown";
  }
}

void DisplayDevice(UpdaterDisplayInterface& display, const DeviceInfo& device) {
  const linkSpec& spec = device.spec;
  const char* model = aDefs_GetModelName(spec.model);
  // A module that could not be read has no version to show, whatever its
  // transport; a version line of zeros would hide the failure.
  if (device.error != 0) {
    display.message(kInfo, "    %08X  [Error (%d): Is someone else connected to this device?]", spec.serialNumber,
                    device.error);
  } else if (spec.type == linkTypeTCPIP) {
    uint8_t ip[4];
    memcpy(ip, &spec.address, sizeof(ip));  // network byte order: first octet first in memory
    char address[24];
    snprintf(address, sizeof(address), "[%d.%d.%d.%d]", ip[0], ip[1], ip[2], ip[3]);
    display.message(kInfo, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u) %s", spec.serialNumber, spec.module,
                    spec.router, model, device.major, device.minor, static_cast<int>(device.patch), device.build,
                    address);
  } else {
    display.message(kInfo, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u)", spec.serialNumber, spec.module,
                    spec.router, model, device.major, device.minor, static_cast<int>(device.patch), device.build);
  }
}

}  // namespace

void cli::_display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                               uint32_t transport, const std::vector<UnopenableModule>& unopenable) {
  ResultLines result;
  // Modules behind a router found without -t are reached over the router's transport.
  if (transport != linkTypeUSB && transport != linkTypeTCPIP && !devices.empty())
    transport = devices.front().spec.type;
  display.message(kInfo, "Discovered Devices: (%s)", LinkTypeName(transport));
  if (devices.empty() && unopenable.empty()) {
    display.message(kInfo, "    No devices found.");
    return;
  }
  if (transport == linkTypeUSB)
    display.message(kInfo, "    Device    Module   Router  Model          Firmware Version (Build)");
  else
    display.message(kInfo, "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]");
  for (const DeviceInfo& device : devices)
    DisplayDevice(display, device);
  for (const UnopenableModule& module : unopenable)
    display.message(kInfo, "    %08X  USB %04X:%04X  permission denied: see the udev rules", module.serialNumber,
                    module.vendor, module.product);
}

void cli::_display_builds(UpdaterDisplayInterface& display, const BuildList& builds, uint32_t serialNumber) {
  ResultLines result;
  if (builds.empty()) {
    display.message(kInfo, "No builds found for device [%08X]", serialNumber);
    return;
  }
  display.message(kInfo, "Build List for device [%08X]:\n", serialNumber);
  display.message(kInfo, "%-15.15s\t%-15.15s", "Build", "Version");
  std::vector<std::pair<std::string, std::string>> rows(builds.begin(), builds.end());
  // Plain byte-wise order of the version text; stable so equal versions keep build order.
  std::stable_sort(rows.begin(), rows.end(),
                   [](const auto& a, const auto& b) { return a.second < b.second; });
  for (const auto& row : rows)
    display.message(kInfo, "%-15.15s\t%-15.15s", row.first.c_str(), row.second.c_str());
}

void cli::_display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint) {
  ResultLines result;
  display.message(kInfo, "[ %08X %08X %08X %08X ]", fingerprint.word[0], fingerprint.word[1], fingerprint.word[2],
                  fingerprint.word[3]);
}
