// A module object connected to a scripted peer inside a private network.
#pragma once
#include <gtest/gtest.h>

#include <memory>

#include "Module.h"
#include "LabNetwork.h"
#include "LoopbackLink.h"
#include "ScriptedPeer.h"
#include "aError.h"

namespace objtest {

using testsupport::Bytes;
using testsupport::Frame;
using testsupport::ScriptedPeer;

inline linkSpec PeerSpec(const ScriptedPeer& peer, uint32_t serialNumber = 0x1234ABCD) {
  linkSpec spec = testsupport::LoopbackLink(peer.port(), serialNumber);
  spec.module = 2;
  spec.router = 2;
  spec.routerSerialNumber = serialNumber;
  spec.model = 17;
  return spec;
}

// Fixture: a module at address 2 linked to a peer that answers the address query with 2.
class PeerTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string whyNot;
    if (!testsupport::EnterPrivateNetwork(&whyNot))
      GTEST_SKIP() << whyNot;
    peer.reset(new ScriptedPeer(2));
    module.reset(new Tessoral::Kovalink::Module(2));
    ASSERT_EQ(module->connectFromSpec(PeerSpec(*peer)), aErrNone);
  }
  void TearDown() override {
    module.reset();
    peer.reset();
  }
  // The next frame the host sent, as address followed by data.
  Bytes next(int timeoutMS = 2000) {
    Frame frame;
    if (!peer->nextFrame(&frame, timeoutMS))
      return Bytes();
    Bytes all{frame.address};
    all.insert(all.end(), frame.data.begin(), frame.data.end());
    return all;
  }

  std::unique_ptr<ScriptedPeer> peer;
  std::unique_ptr<Tessoral::Kovalink::Module> module;
};

}  // namespace objtest
