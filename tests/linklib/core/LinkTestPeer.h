// Test-side counterparts of the link engine: a module scripted by the test
// that talks raw bytes over the far end of a socketpair or pseudo-terminal,
// with its own frame reading (it never uses the engine's packet code).
#pragma once
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "aStream.h"

namespace linktest {

typedef std::vector<uint8_t> Bytes;

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

// Waits until `condition` holds or `timeoutMs` passes; returns the condition.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs);

// Position of `pattern` in `bytes` at or after `from`, or -1.
long Find(const Bytes& bytes, const Bytes& pattern, size_t from = 0);
size_t Count(const Bytes& bytes, const Bytes& pattern);

// The module side: a reader thread collects every byte the engine writes;
// frames (address, length, data) are split off by counting. Optional
// behaviours answer the address query and echo requests.
class ScriptedModule {
public:
  explicit ScriptedModule(int fd);
  ~ScriptedModule();
  ScriptedModule(const ScriptedModule&) = delete;
  ScriptedModule& operator=(const ScriptedModule&) = delete;

  void send(const Bytes& bytes);
  Bytes received();
  std::vector<Bytes> frames();
  bool waitFor(const Bytes& pattern, int timeoutMs, size_t count = 1);
  // Answer every AD 00 with an empty frame from `address` (0 = don't).
  void answerQueries(uint8_t address) { queryAddress_ = address; }
  // Send every frame to `address` straight back (for round trips).
  void echoTo(uint8_t address) { echoAddress_ = address; }
  // Close the module's end of the byte channel.
  void hangUp();

private:
  void run();
  void onFrame(const Bytes& frame);

  int fd_;
  std::atomic<bool> running_{true};
  std::atomic<uint8_t> queryAddress_{0};
  std::atomic<uint8_t> echoAddress_{0};
  std::mutex mutex_;
  Bytes received_;
  std::vector<Bytes> frames_;
  Bytes partial_;
  std::thread thread_;
};

// Runs `body` on a thread inside a new network namespace with only loopback
// up, so that nothing it connects to can be outside the test. Needs root.
void RunInPrivateNetwork(const std::function<void()>& body);

}  // namespace linktest
