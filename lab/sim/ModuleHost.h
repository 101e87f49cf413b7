// Serves simulated modules over TCP/IP: answers discovery requests, accepts one
// link per module, feeds its frames to the module and writes the replies,
// heartbeats and link drops back. One thread runs the whole event loop.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LabConfig.h"
#include "sim/Module.h"

namespace lab {

class LabModuleHost {
public:
  explicit LabModuleHost(const LabConfig& config);
  ~LabModuleHost();
  LabModuleHost(const LabModuleHost&) = delete;
  LabModuleHost& operator=(const LabModuleHost&) = delete;

  // Builds the modules, binds the discovery socket and the TCP listeners.
  bool open(std::string& error);
  // Serves until stop(); open() must have succeeded.
  void run();
  // open() and run() on a thread of its own; stop() or the destructor joins it.
  bool start(std::string& error);
  // Safe from any thread and from a signal handler.
  void stop();

  // One line per module, in configuration order.
  std::vector<std::string> describe() const;
  // Interface addresses on which discovery requests are heard.
  std::vector<std::string> discoveryInterfaces() const { return joined_; }

  // Views for tests, safe while the loop runs; 0 / empty for unknown serials.
  SimModuleStats stats(uint32_t serial) const;
  std::vector<uint8_t> firmware(uint32_t serial, uint32_t* base = nullptr) const;
  std::vector<uint8_t> loader(uint32_t serial) const;
  uint32_t build(uint32_t serial) const;
  // Frames that arrived on the module's link (for a module behind a router:
  // on the router's link), oldest first.
  std::vector<SimFrame> received(uint32_t serial) const;
  // Runs `view` on the module under the loop's lock; false for an unknown serial.
  bool inspect(uint32_t serial, const std::function<void(const SimModule&)>& view) const;
  unsigned discoveryRequests() const { return discoveryRequests_.load(); }

private:
  struct Endpoint {
    SimModule* module = nullptr;
    int listener = -1;
    int link = -1;
    SimFrameReader reader;
  };

  bool openDiscovery(std::string& error);
  bool openListener(Endpoint& endpoint, std::string& error);
  void closeLink(Endpoint& endpoint);
  void serveDiscovery();
  void acceptLink(Endpoint& endpoint, uint64_t now);
  void readLink(Endpoint& endpoint, uint64_t now);
  void apply(Endpoint& endpoint, SimOutput& out);
  void tick(uint64_t now);
  void watch(int fd, uint32_t tag);
  void handle(uint64_t event, uint64_t now);
  void consider(uint64_t at);
  int waitTimeout(uint64_t now) const;
  const SimModule* find(uint32_t serial) const;
  void trace(const SimModule& module, const char* direction, const uint8_t* bytes, size_t count) const;

  LabConfig config_;
  std::vector<std::unique_ptr<SimModule>> modules_;
  std::vector<Endpoint> endpoints_;
  std::vector<std::string> joined_;
  int discovery_ = -1;
  int wake_[2] = {-1, -1};
  // The loop waits on every descriptor at once and is told which are ready, so
  // a wake-up costs the same with one module as with hundreds. The modules are
  // ticked when the earliest of their events is due, and at least every so often.
  int epoll_ = -1;
  uint64_t nextTickMs_ = 0;  // 0: no module event pending
  uint64_t lastTickMs_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<unsigned> discoveryRequests_{0};
  bool opened_ = false;
  mutable std::mutex mutex_;
  std::thread thread_;
};

// Milliseconds of a monotonic clock.
uint64_t LabNowMs();

}  // namespace lab
