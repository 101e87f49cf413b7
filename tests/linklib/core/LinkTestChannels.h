// Byte channels for the link engine's tests: the engine gets one end, a
// testsupport::ScriptedPeer (the module scripted by the test) the other.
#pragma once
#include <functional>
#include <string>

#include "ScriptedPeer.h"
#include "TestSupport.h"
#include "aStream.h"

namespace linktest {

using testsupport::Bytes;
using testsupport::Count;
using testsupport::Find;
using testsupport::ScriptedPeer;
using testsupport::WaitUntil;

// A stream over one end of a socketpair (non-blocking reads).
aStream* SocketPairStream(int fd);

// A pseudo-terminal: the master stays with the test, the slave path is opened
// by the serial stream under test.
struct Pty {
  int master = -1;
  std::string slavePath;
  bool open();
  void closeMaster();
  ~Pty();
};

// Runs `body` on a thread inside a new network namespace with only loopback
// up, so that nothing it connects to can be outside the test. Needs root.
void RunInPrivateNetwork(const std::function<void()>& body);

}  // namespace linktest
