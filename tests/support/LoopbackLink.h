// The link specifier of a module listening on 127.0.0.1: a ScriptedPeer or a
// lab module served in the test's own private network.
#pragma once
#include <cstdint>

#include "ScriptedPeer.h"
#include "aLinkSpec.h"

namespace testsupport {

inline linkSpec LoopbackLink(uint16_t port, uint32_t serialNumber) {
  linkSpec spec{};
  spec.type = linkTypeTCPIP;
  spec.serialNumber = serialNumber;
  spec.address = ScriptedPeer::LoopbackAddress();
  spec.port = port;
  return spec;
}

}  // namespace testsupport
