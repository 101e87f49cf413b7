// Discovery (-D): the modules attached over USB or TCP/IP, or the modules on
// the network behind one router module, each read for the listing.
#pragma once
#include <cstdint>
#include <vector>

#include "DeviceInfo.h"
#include "aError.h"
#include "aLinkSpec.h"
#include "discovery/NetworkScan.h"

namespace Tessoral {
namespace Kovalink {
class Module;
}
}  // namespace Tessoral

class ModuleDiscovery {
public:
  // type 0 searches USB, then TCP/IP; any other type only that transport.
  std::vector<DeviceInfo> Devices(linkType type);
  // The modules the router reaches; type 0 finds the router's transport first.
  std::vector<DeviceInfo> NetworkDevices(uint32_t routerSerialNumber, linkType type);

  // What _discovered_link looks for, and on which transport it found it.
  struct LinkSearch {
    uint32_t serialNumber;
    linkType found;
  };

  // The module's firmware build number; 0 on any failure.
  static uint32_t _get_build_number(Tessoral::Kovalink::Module& module);
  // Fills the version numbers and the module and router addresses of `info`.
  static aErr _get_version(Tessoral::Kovalink::Module& module, DeviceInfo& info);
  // 1 when the module is on USB, else 2 when on TCP/IP, else 0.
  static linkType _discover_link_type(uint32_t serialNumber);

  // Enumeration callbacks: collect every module / stop at one serial number.
  static bool _discovered_device(const linkSpec* found, bool* success, void* devices);
  static bool _discovered_link(const linkSpec* found, bool* success, void* search);

private:
  // The record of the module that answered at `found.address` behind the router.
  void ReadNetworkModule(Tessoral::Kovalink::Module& router, const linkSpec& routerSpec, const NetworkScan::Found& found,
                         DeviceInfo& info);
};
