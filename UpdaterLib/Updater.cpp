#include "Updater.h"

#include <memory>

#include "Log.h"
#include "Module.h"
#include "ModuleCommands.h"
#include "SystemClass.h"
#include "discovery/UpdaterDiscovery.h"
#include "aDefs.h"
#include "aDiscovery.h"
#include "aPacket.h"
#include "aUEI.h"
#include "aVersion.h"

using Tessoral::Kovalink::Module;
using Tessoral::Kovalink::SystemClass;
using namespace UpdaterDiscovery;

namespace {

// Modules are created with a guessed address; the connection learns the real one.
const uint8_t kDefaultAddress = 2;
// Module network addresses a router can reach: every even address 2..252.
const unsigned kFirstNetworkAddress = 2;
const unsigned kLastNetworkAddress = 252;

// Reads build, version and addresses of a connected module into its record.
void sReadDevice(Module& module, DeviceInfo& info) {
  info.build = _get_build_number(module);
  info.error = _get_version(module, info);
}

}  // namespace

Updater::Updater(const char* serverUrl_, const char* updaterDirectory_, UpdaterDisplayInterface& display_)
    : serverUrl(serverUrl_ ? serverUrl_ : ""), updaterDirectory(updaterDirectory_ ? updaterDirectory_ : ""),
      display(display_) {}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
  std::vector<DeviceInfo> devices;
  std::vector<linkType> transports;
  if (type == linkTypeInvalid)
    transports = {linkTypeUSB, linkTypeTCPIP};
  else
    transports = {type};
  for (linkType transport : transports)
    aDiscovery_EnumerateModules(transport, _discovered_device, &devices);

  for (DeviceInfo& info : devices) {
    info.modelName = aDefs_GetModelName(info.spec.model);
    Module module(kDefaultAddress, 0);
    int result = module.connectFromSpec(info.spec);
    if (result != aErrNone)
      info.error = result;
    else
      sReadDevice(module, info);
    module.disconnect();
  }
  return devices;
}

std::vector<DeviceInfo> Updater::Discover_KLNetwork_Devices(uint32_t routerSerialNumber, linkType type) {
  std::vector<DeviceInfo> devices;
  if (type == linkTypeInvalid)
    type = _discover_link_type(routerSerialNumber);
  std::unique_ptr<linkSpec, void (*)(linkSpec*)> routerSpec(aDiscovery_FindModule(type, routerSerialNumber),
                                                           [](linkSpec* spec) { aLinkSpec_Destroy(&spec); });
  if (!routerSpec)
    return devices;

  Module router(kDefaultAddress, 0);
  router.connectFromSpec(*routerSpec);
  SystemClass routerSystem;
  routerSystem.init(&router, 0);
  if (routerSystem.routeToMe(1) != aErrNone) {
    Log::log(DEBUG_Network, "NETWORK: Router [%08X] refused routing\n", routerSerialNumber);
    router.disconnect();
    return devices;
  }

  for (unsigned address = kFirstNetworkAddress; address <= kLastNetworkAddress; address += 2) {
    // The router answers at its own address too, but it is not a module of its network.
    if (address == router.getModuleAddress())
      continue;
    Module module(static_cast<uint8_t>(address), 0);
    module.connectThroughLinkModule(&router);
    SystemClass system;
    system.init(&module, 0);
    uint32_t serialNumber = 0;
    if (system.getSerialNumber(&serialNumber) != aErrNone) {
      module.disconnect();
      continue;
    }
    DeviceInfo info;
    info.spec.type = type;
    info.spec.serialNumber = serialNumber;
    // Until the module reports its own addresses, record where it was found.
    info.spec.module = address;
    info.spec.router = router.getModuleAddress();
    info.spec.routerSerialNumber = routerSerialNumber;
    info.spec.address = routerSpec->address;
    info.spec.port = routerSpec->port;
    sReadDevice(module, info);
    uint8_t model = 0;
    int result = system.getModel(&model);
    if (result == aErrNone) {
      info.spec.model = model;
      info.modelName = aDefs_GetModelName(model);
    } else {
      info.error = result;
    }
    devices.push_back(info);
    module.disconnect();
  }

  routerSystem.routeToMe(0);
  router.disconnect();
  return devices;
}
