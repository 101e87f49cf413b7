// One simulated module: link control, address query, heartbeats, system entity,
// queries, echo, firmware upgrade, and for routers the module network behind it.
// Transport-free: frames come in, bytes to send and link actions come out.
#pragma once
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "LabConfig.h"
#include "sim/Faults.h"
#include "sim/Frame.h"
#include "sim/Store.h"
#include "sim/Streams.h"
#include "sim/System.h"
#include "sim/Upgrade.h"

namespace lab {

struct SimModuleStats {
  unsigned links = 0;
  unsigned requests = 0;
  unsigned heartbeatsSent = 0;
  unsigned heartbeatsAnswered = 0;
  unsigned heartbeatsWrong = 0;
  unsigned heartbeatsMissed = 0;
  unsigned reboots = 0;
  unsigned ignored = 0;  // frames nobody answered (no such address, routing off, unknown command)
};

// What the transport has to do after a frame or a tick.
struct SimOutput {
  std::vector<uint8_t> bytes;     // to write to the link, in order
  bool dropLink = false;          // close the link with a reset after writing
  bool reboot = false;            // close the link and refuse links until online again
  std::vector<std::string> notes; // events worth a line in the verbose log
};

class SimModule {
public:
  SimModule(const ModuleConfig& config, uint8_t defaultRouterAddress, const std::string& dumpDir, uint64_t nowMs);

  const ModuleConfig& config() const { return config_; }
  uint32_t serial() const { return config_.serial; }
  uint8_t address() const { return state_.address; }
  uint32_t build() const { return state_.build; }
  uint32_t version() const { return state_.version; }
  bool routing() const { return state_.routing; }
  bool has(FaultKind kind) const { return faults_.has(kind); }
  void attach(SimModule* child) { network_.push_back(child); }
  const std::vector<SimModule*>& network() const { return network_; }

  void linkOpened(uint64_t nowMs);
  void linkClosed();
  void receive(const SimFrame& frame, uint64_t nowMs, SimOutput& out);
  // Sends due heartbeats and ends a reboot whose delay has passed.
  void tick(uint64_t nowMs, SimOutput& out);
  // The next time tick() has work, or 0 when none is scheduled.
  uint64_t nextEvent() const;
  bool online() const { return !rebooting_ && !away_; }

  SimModuleStats stats() const { return stats_; }
  // The latest frames that came in on this module's link (at most 4096), oldest first.
  const std::deque<SimFrame>& received() const { return received_; }
  const SimUpgrade& upgrade() const { return upgrade_; }
  const SimStore& store() const { return store_; }
  const SimStreams& streams() const { return streams_; }
  // One line for the lab's listing.
  std::string describe() const;

private:
  // Counts a request of `step` for the fault knobs and runs the drop and garbage
  // knobs; true when the link is dropped and the request goes unanswered.
  bool disrupted(const std::string& step, SimOutput& out);
  void control(const SimFrame& frame, SimOutput& out);
  void addressQuery(SimOutput& out);
  void serve(const SimFrame& frame, uint64_t nowMs, SimOutput& out);
  void answer(const std::vector<uint8_t>& request, uint64_t nowMs, std::vector<std::vector<uint8_t>>& replies);
  void upgradeRequest(const std::vector<uint8_t>& request, uint64_t nowMs,
                      std::vector<std::vector<uint8_t>>& replies);
  void send(const std::vector<std::vector<uint8_t>>& replies, SimOutput& out);
  bool route(const SimFrame& frame, uint64_t nowMs, SimOutput& out);
  void heartbeatAnswer(uint8_t value, SimOutput& out);
  void heartbeat(uint64_t nowMs, SimOutput& out);
  // Goes offline for the reboot delay: a reboot, or a loader that rejoins.
  void leave(uint64_t nowMs, SimOutput& out);
  void finishReboot(uint64_t nowMs, SimOutput& out);
  // The arrive and cycle knobs: unplugs or plugs the module in when it is time.
  void presence(uint64_t nowMs, SimOutput& out);
  void dump(const char* suffix, const std::vector<uint8_t>& bytes);
  std::string tag() const;

  ModuleConfig config_;
  std::string dumpDir_;
  SimState state_;
  SimFaults faults_;
  SimUpgrade upgrade_;
  SimStore store_;
  SimStreams streams_;
  std::vector<SimModule*> network_;
  SimModuleStats stats_;
  std::deque<SimFrame> received_;

  bool linkOpen_ = false;
  uint64_t nextHeartbeat_ = 0;
  uint8_t heartbeatValue_ = 0;  // value of the next heartbeat
  uint8_t expectedAnswer_ = 0;
  bool awaitingAnswer_ = false;
  enum class Leave { No, Reboot, Rejoin };
  Leave leaving_ = Leave::No;  // set while a request is handled, acted on after the replies
  bool rebooting_ = false;     // offline until onlineAt_
  bool rebootBoots_ = false;   // coming back boots the firmware (else the loader rejoins)
  uint64_t onlineAt_ = 0;
  bool away_ = false;          // unplugged by the arrive or cycle knob
  uint64_t presenceAt_ = 0;    // when it is next plugged in or unplugged; 0 never
};

}  // namespace lab
