// The way to a module on a router's module network: the router connected by serial
// number, and routing to this host switched on for as long as the route is open, since
// a router forwards to its network only then. Closing switches it off again.
#pragma once
#include <cstdint>

#include "Module.h"
#include "SystemClass.h"
#include "aError.h"

class RouterRoute {
public:
  RouterRoute() = default;
  ~RouterRoute() { Close(); }
  RouterRoute(const RouterRoute&) = delete;
  RouterRoute& operator=(const RouterRoute&) = delete;

  // Connects the router over `type`, or over USB, else TCP/IP, when it is linkTypeInvalid
  // (aErrNotFound on neither); then asks it to route to this host.
  aErr Open(uint32_t routerSerialNumber, linkType type = linkTypeInvalid);
  // The address at which a module of the network answers with `serialNumber`; 0 when none does.
  uint8_t FindAddress(uint32_t serialNumber);
  // Connects `target`, which carries its network address, through the open router.
  aErr Connect(Tessoral::Kovalink::Module& target);
  void Close();
  bool routing() const { return routing_; }

private:
  Tessoral::Kovalink::Module router_{0, 0};
  Tessoral::Kovalink::SystemClass system_;
  bool routing_ = false;
};
