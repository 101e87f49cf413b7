// Reading one module for the discovery listing, and finding a module's transport.
#include "discovery/UpdaterDiscovery.h"

#include "Log.h"
#include "Module.h"
#include "ModuleCommands.h"
#include "SystemClass.h"
#include "aDiscovery.h"
#include "aPacket.h"
#include "aUEI.h"
#include "aVersion.h"

using Tessoral::Kovalink::Module;
using Tessoral::Kovalink::SystemClass;

namespace UpdaterDiscovery {

bool _discovered_device(const linkSpec* found, bool* success, void* devices) {
  DeviceInfo info;
  info.spec = *found;
  static_cast<std::vector<DeviceInfo>*>(devices)->push_back(info);
  *success = true;
  return true;
}

bool _discovered_link(const linkSpec* found, bool* success, void* search) {
  LinkSearch* wanted = static_cast<LinkSearch*>(search);
  *success = true;
  if (found->serialNumber != wanted->serialNumber)
    return true;
  Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", found->serialNumber,
           static_cast<int>(found->type));
  wanted->found = found->type;
  return false;
}

uint32_t _get_build_number(Module& module) {
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

int _get_version(Module& module, DeviceInfo& info) {
  SystemClass system;
  system.init(&module, 0);
  uint32_t version = 0;
  int result = system.getVersion(&version);
  if (result != aErrNone)
    return result;
  info.major = static_cast<uint8_t>(aVersion_ParseMajor(version));
  info.minor = static_cast<uint8_t>(aVersion_ParseMinor(version));
  info.patch = aVersion_ParsePatch(version);
  uint8_t address = 0;
  int moduleResult = system.getModule(&address);
  if (moduleResult == aErrNone)
    info.spec.module = address;
  int routerResult = system.getRouter(&address);
  if (routerResult == aErrNone)
    info.spec.router = address;
  return moduleResult != aErrNone ? moduleResult : routerResult;
}

linkType _discover_link_type(uint32_t serialNumber) {
  LinkSearch search{serialNumber, linkTypeInvalid};
  aDiscovery_EnumerateModules(linkTypeUSB, _discovered_link, &search);
  if (search.found == linkTypeInvalid)
    aDiscovery_EnumerateModules(linkTypeTCPIP, _discovered_link, &search);
  return search.found;
}

}  // namespace UpdaterDiscovery
