#include "discovery/ModuleDiscovery.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <thread>
#include <tuple>

#include "Interrupt.h"
#include "Log.h"
#include "Module.h"
#include "ModuleCommands.h"
#include "SystemClass.h"
#include "aDefs.h"
#include "aDiscovery.h"
#include "aPacket.h"
#include "aUEI.h"
#include "aVersion.h"

using Tessoral::Kovalink::Module;
using Tessoral::Kovalink::SystemClass;

namespace {

// Modules are created with a guessed address; the connection learns the real one.
const uint8_t kDefaultAddress = 2;

// Reads build, version and addresses of a connected module into its record.
void sReadDevice(Module& module, DeviceInfo& info) {
  info.build = ModuleDiscovery::_get_build_number(module);
  info.error = ModuleDiscovery::_get_version(module, info);
}

// Connects one discovered module and reads it into its record.
void sReadRecord(DeviceInfo& info) {
  info.modelName = aDefs_GetModelName(info.spec.model);
  Module module(kDefaultAddress, 0);
  aErr result = module.connectFromSpec(info.spec);
  if (result != aErrNone)
    info.error = result;
  else
    sReadDevice(module, info);
  module.disconnect();
}

// TCP/IP modules answer on links of their own, so they are read side by side: fifty
// of them then cost a few round trips each in all, not fifty times that. A bound keeps
// the host's threads and sockets few on a large plant.
const unsigned kReaders = 8;

// The records in groups that must be read one after another: a module reported
// twice (heard on two interfaces) shares one link with itself, and the USB modules
// share one bus and answer at once, so they stay on the calling thread.
std::vector<std::vector<size_t>> sReadGroups(const std::vector<DeviceInfo>& devices) {
  std::vector<std::vector<size_t>> groups(1);
  std::map<std::tuple<uint32_t, uint32_t, uint32_t>, size_t> byEndpoint;
  for (size_t i = 0; i < devices.size(); i++) {
    const linkSpec& spec = devices[i].spec;
    if (spec.type != linkTypeTCPIP) {
      groups[0].push_back(i);
      continue;
    }
    auto key = std::make_tuple(spec.address, spec.port, spec.serialNumber);
    auto known = byEndpoint.find(key);
    if (known == byEndpoint.end()) {
      known = byEndpoint.emplace(key, groups.size()).first;
      groups.emplace_back();
    }
    groups[known->second].push_back(i);
  }
  return groups;
}

void sReadRecords(std::vector<DeviceInfo>& devices) {
  std::vector<std::vector<size_t>> groups = sReadGroups(devices);
  std::atomic<size_t> next{1};
  auto reader = [&devices, &groups, &next]() {
    for (size_t group = next++; group < groups.size(); group = next++)
      for (size_t i : groups[group])
        sReadRecord(devices[i]);
  };
  std::vector<std::thread> readers;
  size_t wanted = std::min<size_t>(kReaders, groups.size() - 1);
  for (size_t i = 0; i < wanted; i++)
    readers.emplace_back(reader);
  for (size_t i : groups[0])
    sReadRecord(devices[i]);
  for (std::thread& thread : readers)
    thread.join();
}

}  // namespace

bool ModuleDiscovery::_discovered_device(const linkSpec* found, bool* success, void* devices) {
  DeviceInfo info;
  info.spec = *found;
  static_cast<std::vector<DeviceInfo>*>(devices)->push_back(info);
  *success = true;
  return true;
}

bool ModuleDiscovery::_discovered_link(const linkSpec* found, bool* success, void* search) {
  LinkSearch* wanted = static_cast<LinkSearch*>(search);
  *success = true;
  if (found->serialNumber != wanted->serialNumber)
    return true;
  Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", found->serialNumber,
           static_cast<int>(found->type));
  wanted->found = found->type;
  return false;
}

uint32_t ModuleDiscovery::_get_build_number(Module& module) {
  Tessoral::Kovalink::Link* link = module.getLink();
  if (!link)
    return 0;
  const uint8_t query = Tessoral::Kovalink::val_QUERY_BUILD;
  if (link->sendPacket(module.getModuleAddress(), Tessoral::Kovalink::cmdQUERY, 1, &query) != aErrNone)
    return 0;
  const uint8_t match[] = {Tessoral::Kovalink::cmdQUERY, Tessoral::Kovalink::val_QUERY_BUILD};
  uint8_t length = sizeof(match);
  uint8_t reply[aPACKET_MAX_DATA];
  if (link->receivePacket(module.getModuleAddress(), match, &length, reply) != aErrNone || length != 6)
    return 0;
  return aUEI_RetrieveInt(&reply[2]);
}

aErr ModuleDiscovery::_get_version(Module& module, DeviceInfo& info) {
  SystemClass system;
  system.init(&module, 0);
  uint32_t version = 0;
  aErr result = system.getVersion(&version);
  if (result != aErrNone)
    return result;
  info.major = static_cast<uint8_t>(aVersion_ParseMajor(version));
  info.minor = static_cast<uint8_t>(aVersion_ParseMinor(version));
  info.patch = aVersion_ParsePatch(version);
  uint8_t address = 0;
  aErr moduleResult = system.getModule(&address);
  if (moduleResult == aErrNone)
    info.spec.module = address;
  aErr routerResult = system.getRouter(&address);
  if (routerResult == aErrNone)
    info.spec.router = address;
  return moduleResult != aErrNone ? moduleResult : routerResult;
}

linkType ModuleDiscovery::_discover_link_type(uint32_t serialNumber) {
  LinkSearch search{serialNumber, linkTypeInvalid};
  aDiscovery_EnumerateModules(linkTypeUSB, _discovered_link, &search);
  if (search.found == linkTypeInvalid)
    aDiscovery_EnumerateModules(linkTypeTCPIP, _discovered_link, &search);
  return search.found;
}

std::vector<DeviceInfo> ModuleDiscovery::Devices(linkType type) {
  std::vector<DeviceInfo> devices;
  std::vector<linkType> transports;
  if (type == linkTypeInvalid)
    transports = {linkTypeUSB, linkTypeTCPIP};
  else
    transports = {type};
  for (linkType transport : transports)
    aDiscovery_EnumerateModules(transport, _discovered_device, &devices);
  // A search cut short by an interrupt lists nothing, and no module is opened.
  if (Interrupt::Requested())
    return {};
  sReadRecords(devices);
  return devices;
}

std::vector<DeviceInfo> ModuleDiscovery::NetworkDevices(uint32_t routerSerialNumber, linkType type) {
  std::vector<DeviceInfo> devices;
  if (type == linkTypeInvalid)
    type = _discover_link_type(routerSerialNumber);
  std::unique_ptr<linkSpec, void (*)(linkSpec*)> routerSpec(aDiscovery_FindModule(type, routerSerialNumber),
                                                           [](linkSpec* spec) { aLinkSpec_Destroy(&spec); });
  if (!routerSpec || Interrupt::Requested())
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
  // The router answers at its own address too, but it is not a module of its network.
  NetworkScan scan;
  for (const NetworkScan::Found& found : scan.Run(router.getLink()->getLinkRef(), router.getModuleAddress())) {
    DeviceInfo info;
    ReadNetworkModule(router, *routerSpec, found, info);
    devices.push_back(info);
  }
  routerSystem.routeToMe(0);
  router.disconnect();
  return devices;
}

void ModuleDiscovery::ReadNetworkModule(Module& router, const linkSpec& routerSpec, const NetworkScan::Found& found,
                                        DeviceInfo& info) {
  Module module(found.address, 0);
  module.connectThroughLinkModule(&router);
  SystemClass system;
  system.init(&module, 0);
  info.spec.type = routerSpec.type;
  info.spec.serialNumber = found.serialNumber;
  // Until the module reports its own addresses, record where it was found.
  info.spec.module = found.address;
  info.spec.router = router.getModuleAddress();
  info.spec.routerSerialNumber = routerSpec.serialNumber;
  info.spec.address = routerSpec.address;
  info.spec.port = routerSpec.port;
  sReadDevice(module, info);
  uint8_t model = 0;
  aErr result = system.getModel(&model);
  if (result == aErrNone) {
    info.spec.model = model;
    info.modelName = aDefs_GetModelName(model);
  } else {
    info.error = result;
  }
  module.disconnect();
}
