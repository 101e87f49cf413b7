// Reading one module for the discovery listing, and finding a module's transport.
#pragma once
#include <cstdint>

#include "DeviceInfo.h"
#include "aError.h"
#include "aLinkSpec.h"

namespace Tessoral {
namespace Kovalink {
class Module;
}
}  // namespace Tessoral

namespace UpdaterDiscovery {

// What _discovered_link looks for, and on which transport it found it.
struct LinkSearch {
  uint32_t serialNumber;
  linkType found;
};

// The module's firmware build number; 0 on any failure.
uint32_t _get_build_number(Tessoral::Kovalink::Module& module);
// Fills the version numbers and the module and router addresses of `info`.
int _get_version(Tessoral::Kovalink::Module& module, DeviceInfo& info);
// 1 when the module is on USB, else 2 when on TCP/IP, else 0.
linkType _discover_link_type(uint32_t serialNumber);

// Enumeration callbacks: collect every module / stop at one serial number.
bool _discovered_device(const linkSpec* found, bool* success, void* devices);
bool _discovered_link(const linkSpec* found, bool* success, void* search);

}  // namespace UpdaterDiscovery
