// Which addresses of a router's module network hold a module: every even address
// is asked for its serial number over the router's link, many requests in flight
// at once, so the silent addresses wait out their time-out side by side.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "aLink.h"
#include "aPacket.h"
#include "aTime.h"

class NetworkScan {
public:
  struct Found {
    uint8_t address;
    uint32_t serialNumber;
  };

  // At most `window` requests wait for an answer at once; an address that stays
  // silent for `replyTimeoutMS` after its request holds no module.
  explicit NetworkScan(unsigned window = kDefaultWindow, unsigned replyTimeoutMS = kDefaultReplyTimeoutMS);

  // The modules that answered, in address order. `skip` is the router's own
  // address. The scan owns the link's user packet filter while it runs.
  std::vector<Found> Run(linkRef router, uint8_t skip);

  // Half the network at once: the silent addresses cost two time-outs in all,
  // while the router never holds more than that many requests.
  static const unsigned kDefaultWindow = 64;
  static const unsigned kDefaultReplyTimeoutMS = 1000;

private:
  enum class State : uint8_t { Idle, Waiting, Module, Empty };

  static bool cbReply(const aPacket* packet, void* reference);
  bool Accept(const aPacket* packet);
  bool Send(linkRef router, uint8_t address);
  // Frees the slots of answered and timed-out requests.
  void Reap();
  // Waits up to `waitMS` for a reply the scanning thread has not looked at.
  void AwaitChange(uint64_t waitMS);
  uint64_t NextWaitMS(bool canSend);

  unsigned window_;
  unsigned replyTimeoutMS_;
  std::mutex mutex_;
  std::condition_variable changed_;
  State state_[256] = {};
  uint32_t serial_[256] = {};
  aDeadline deadline_[256] = {};
  uint64_t answers_ = 0;  // replies taken by the filter so far
  uint64_t seen_ = 0;     // of those, the ones the scanning thread has looked at
  std::vector<uint8_t> inFlight_;
};
