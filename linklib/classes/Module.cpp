#include "Module.h"

#include "aError.h"
#include "aTime.h"

namespace Tessoral {
namespace Kovalink {

namespace {
const int kAddressQueries = 4;
const unsigned long kAddressQueryPauseMS = 5;
}  // namespace

Module::Module(uint8_t address_, uint8_t model_) : Module(address_, true, model_) {}

Module::Module(uint8_t address_, bool networkingMode_, uint8_t model_)
    : link(new Link("Link")), address(address_), networkingMode(networkingMode_), model(model_) {}

Module::~Module() {}

aErr Module::connect(linkType type, uint32_t serialNumber) {
  if (serialNumber == 0)
    return aErrParam;
  return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber) {
  if (!link)
    return aErrInitialization;
  aErr result = link->discoverAndConnect(type, serialNumber, model);
  _autoNetwork();
  return result;
}

aErr Module::connectFromSpec(const linkSpec& spec) {
  if (!link)
    return aErrInitialization;
  if (link->isConnected())
    return aErrBusy;
  aErr result = link->setLinkSpecifier(spec);
  if (result != aErrNone)
    return result;
  result = link->connect();
  _autoNetwork();
  return result;
}

aErr Module::connectThroughLinkModule(Module* router) {
  if (!router)
    return aErrParam;
  if (!link)
    return aErrInitialization;
  if (link->isConnected())
    return aErrBusy;
  Link* routerLink = router->getLink();
  if (!routerLink)
    return aErrNotReady;
  linkSpec spec;
  aErr result = routerLink->getLinkSpecifier(&spec);
  if (result != aErrNone)
    return result;
  result = link->setLinkSpecifier(spec);
  if (result != aErrNone)
    return result;
  return link->connect();
}

aErr Module::reconnect() {
  if (!link)
    return aErrInitialization;
  aErr result = link->connect();
  _autoNetwork();
  return result;
}

bool Module::isConnected() { return link && link->isConnected(); }

int Module::getStatus() { return link ? link->getStatus() : 8; }

uint32_t Module::getDropCount() { return link ? link->getDropCount() : 0; }

aErr Module::disconnect() {
  if (!link)
    return aErrInitialization;
  return link->disconnect();
}

aErr Module::getLinkSpecifier(linkSpec* spec) const {
  if (!link)
    return aErrNotReady;
  return link->getLinkSpecifier(spec);
}

aErr Module::enablePacketLog(const char* path) { return link ? link->enablePacketLog(path) : aErrConfiguration; }

aErr Module::disablePacketLog() { return link ? link->disablePacketLog() : aErrConfiguration; }

// Learns the address of the module at the other end of a direct link, so that
// a module created with a guessed address talks to the right one.
void Module::_autoNetwork() {
  if (!networkingMode || !link)
    return;
  uint8_t found = 0;
  for (int attempt = 0; attempt < kAddressQueries; ++attempt) {
    if (link->getModuleAddress(&found) != aErrNotReady)
      break;
    aTime_MSSleep(kAddressQueryPauseMS);
  }
  if (found != 0 && found != address)
    address = found;
}

}  // namespace Kovalink
}  // namespace Tessoral
