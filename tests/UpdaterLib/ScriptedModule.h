// A module on a loopback TCP port whose answers each test scripts frame by frame.
// It parses the link frames itself (address, length, data) and shares no code with the host side.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "aLinkSpec.h"

namespace scripted {

typedef std::vector<uint8_t> Bytes;

class ScriptedModule {
public:
  // Called for every frame sent to the module's address, with the frame's data bytes.
  typedef std::function<void(ScriptedModule& module, const Bytes& data)> Handler;

  explicit ScriptedModule(uint8_t address = 2);
  ~ScriptedModule();

  bool Start();  // listen on 127.0.0.1, an ephemeral port
  // Ends the connection and the module's thread: no handler runs after it returns.
  void Stop();
  linkSpec Spec() const;
  void SetHandler(Handler handler);
  // Called on every accepted connection, before its first frame is read.
  void SetOnConnect(std::function<void(ScriptedModule& module)> onConnect);

  // Sends one frame from the module's address on the current connection.
  void Reply(const Bytes& data);
  // Closes the current connection, as a module that drops its link.
  void Drop();
  // Stops accepting connections for `ms` milliseconds (new connections are refused).
  void RefuseFor(unsigned ms);

  // Frames received for the module's address, in order.
  std::vector<Bytes> Received();
  int Connections() const { return connections; }

private:
  bool Listen();
  void AcceptLoop();
  void Serve(int fd);
  void Dispatch(const Bytes& frame);

  uint8_t address;
  uint16_t port = 0;
  std::atomic<int> listenFd{-1};  // the accept thread may close it (RefuseFor)
  std::atomic<int> clientFd{-1};
  std::atomic<bool> running{false};
  std::atomic<int> connections{0};
  std::atomic<uint64_t> refuseUntil{0};
  std::thread acceptThread;
  std::mutex mutex;
  Handler handler;
  std::function<void(ScriptedModule& module)> onConnect;
  std::vector<Bytes> received;
};

// Upgrade replies a well-behaved module gives.
Bytes StatusReply(uint8_t status, const Bytes& rest = {});
uint32_t Sum(const uint8_t* data, size_t length);

}  // namespace scripted
