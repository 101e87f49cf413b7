#include "discovery/NetworkScan.h"

#include <chrono>

#include "ModuleCommands.h"
#include "SystemClass.h"
#include "UEI.h"
#include "aBytes.h"

namespace {

// Module network addresses a router can reach: every even address 2..252.
const unsigned kFirstAddress = 2;
const unsigned kLastAddress = 252;
// Requests handed to the link's writer ahead of time: well below the 20 at which
// its queue throws away everything it holds.
const uint32_t kMaxQueued = 8;
// How long to wait for the writer to make room.
const uint64_t kQueuePollMS = 1;
const uint8_t kSerialReplyLength = 7;

}  // namespace

NetworkScan::NetworkScan(unsigned window, unsigned replyTimeoutMS)
    : window_(window ? window : 1), replyTimeoutMS_(replyTimeoutMS) {}

bool NetworkScan::cbReply(const aPacket* packet, void* reference) {
  return static_cast<NetworkScan*>(reference)->Accept(packet);
}

// Runs on the link's receiving thread: takes the serial-number replies of the
// addresses asked, even late ones, and leaves every other packet to the link.
bool NetworkScan::Accept(const aPacket* packet) {
  if (packet->dataSize < 3 || packet->data[0] != Tessoral::Kovalink::cmdSYSTEM ||
      packet->data[1] != Tessoral::Kovalink::systemSerialNumber ||
      (packet->data[2] & ueiSPECIFIER_INDEX_MASK) != 0)
    return false;
  std::lock_guard<std::mutex> lock(mutex_);
  State& state = state_[packet->address];
  if (state == State::Idle)
    return false;
  // An error reply is a router saying at once that nobody holds the address.
  if (!(packet->data[2] & ueiSPECIFIER_ERROR) && packet->dataSize == kSerialReplyLength) {
    state = State::Module;
    serial_[packet->address] = aBytes_GetBE32(&packet->data[3]);
  } else if (state == State::Waiting) {
    state = State::Empty;
  }
  ++answers_;
  changed_.notify_one();
  return true;
}

bool NetworkScan::Send(linkRef router, uint8_t address) {
  const uint8_t request[] = {Tessoral::Kovalink::cmdSYSTEM,
                             static_cast<uint8_t>(Tessoral::Kovalink::systemSerialNumber | ueiOPTION_GET),
                             ueiSPECIFIER_REQUEST};
  aPacket* packet = aPacket_CreateWithData(address, sizeof(request), request);
  if (!packet)
    return false;
  {
    // Waiting before the request leaves, so that a quick reply finds it asked.
    std::lock_guard<std::mutex> lock(mutex_);
    state_[address] = State::Waiting;
    deadline_[address] = aDeadline_In(replyTimeoutMS_);
  }
  aErr result = aLink_PutPacket(router, packet);
  aPacket_Destroy(&packet);
  if (result != aErrNone) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_[address] = State::Empty;
    return false;
  }
  inFlight_.push_back(address);
  return true;
}

void NetworkScan::Reap() {
  std::lock_guard<std::mutex> lock(mutex_);
  seen_ = answers_;
  std::vector<uint8_t> waiting;
  for (uint8_t address : inFlight_) {
    if (state_[address] == State::Waiting && aDeadline_Passed(deadline_[address]))
      state_[address] = State::Empty;
    if (state_[address] == State::Waiting)
      waiting.push_back(address);
  }
  inFlight_.swap(waiting);
}

uint64_t NetworkScan::NextWaitMS(bool canSend) {
  if (canSend)
    return kQueuePollMS;
  std::lock_guard<std::mutex> lock(mutex_);
  // Requests leave in order with one time-out, so the oldest expires first.
  return inFlight_.empty() ? kQueuePollMS : aDeadline_RemainingMS(deadline_[inFlight_.front()]);
}

void NetworkScan::AwaitChange(uint64_t waitMS) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(waitMS), [this] { return answers_ != seen_; });
}

std::vector<NetworkScan::Found> NetworkScan::Run(linkRef router, uint8_t skip) {
  std::vector<Found> found;
  if (aLink_InstallUserPacketFilter(router, cbReply, this) != aErrNone)
    return found;
  unsigned next = kFirstAddress;
  for (;;) {
    if (next <= kLastAddress && next == skip) {
      next += 2;
      continue;
    }
    bool more = next <= kLastAddress;
    bool canSend = more && inFlight_.size() < window_;
    if (canSend && aLink_GetOutgoingLength(router) < kMaxQueued) {
      Send(router, static_cast<uint8_t>(next));
      next += 2;
      continue;
    }
    if (!more && inFlight_.empty())
      break;
    AwaitChange(NextWaitMS(canSend));
    Reap();
  }
  aLink_InstallUserPacketFilter(router, nullptr, nullptr);
  for (unsigned address = kFirstAddress; address <= kLastAddress; address += 2)
    if (state_[address] == State::Module)
      found.push_back({static_cast<uint8_t>(address), serial_[address]});
  return found;
}
