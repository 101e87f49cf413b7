// One module on the module network, known by its address, with the link that reaches it.
#pragma once
#include <stdint.h>

#include <memory>

#include "Link.h"
#include "aLinkSpec.h"

namespace Tessoral {
namespace Kovalink {

class Module {
public:
  Module(uint8_t address, uint8_t model = 0);
  Module(uint8_t address, bool networkingMode, uint8_t model);
  virtual ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  aErr connect(linkType type, uint32_t serialNumber);
  aErr discoverAndConnect(linkType type, uint32_t serialNumber);
  aErr connectFromSpec(const linkSpec& spec);
  // Reaches this module through the router's transport, keeping its own address.
  aErr connectThroughLinkModule(Module* router);
  aErr reconnect();
  bool isConnected();
  int getStatus();
  uint32_t getDropCount();
  aErr disconnect();

  uint8_t getModuleAddress() const { return address; }
  void setModuleAddress(uint8_t moduleAddress) { address = moduleAddress; }
  aErr getLinkSpecifier(linkSpec* spec) const;
  Link* getLink() { return link.get(); }
  void setNetworkingMode(bool mode) { networkingMode = mode; }
  bool getNetworkingMode() const { return networkingMode; }
  uint8_t getModel() const { return model; }

  aErr enablePacketLog(const char* path);
  aErr disablePacketLog();

  // Module-level queries. hasUEI returns the module's answer byte (or an error).
  int hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t direction);
  aErr classQuantity(uint8_t entityClass, uint8_t* count);
  aErr subClassQuantity(uint8_t entityClass, uint8_t index, uint8_t* count);
  aErr entityGroup(uint8_t entityClass, uint8_t index, uint8_t* group);
  // Echo test: the module must send the bytes back.
  aErr debug(const uint8_t* bytes, uint8_t count);

private:
  void _autoNetwork();
  aErr _exchange(uint8_t command, const uint8_t* payload, uint8_t payloadLength, uint8_t* reply, uint8_t* length);
  aErr _query(const uint8_t* request, uint8_t requestLength, uint8_t replyLength, uint8_t* answer);

  std::unique_ptr<Link> link;
  uint8_t address;
  bool networkingMode;
  uint8_t model;
};

}  // namespace Kovalink
}  // namespace Tessoral
