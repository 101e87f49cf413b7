#include "sim/Store.h"

#include <algorithm>

#include "sim/Frame.h"
#include "sim/System.h"

namespace lab {

namespace {

enum : uint8_t { kCapacity = 1, kSize = 2, kOpenRead = 3, kOpenWrite = 4, kRead = 6, kWrite = 7, kClose = 8 };
constexpr uint8_t kErrorBit = 0x80;
constexpr size_t kSlotChunk = 25;
constexpr size_t kFactoryChunk = 26;
constexpr size_t kFactoryCapacity = 256;
constexpr uint8_t kFactoryFirst = 0x40;
constexpr uint8_t kFactoryWrite = 0x10;
constexpr uint8_t kFactoryClose = 0x20;
constexpr uint8_t kErrBusy = 5;
constexpr uint8_t kErrMode = 7;
constexpr uint8_t kErrEOF = 10;
constexpr uint8_t kErrNotReady = 11;
constexpr uint8_t kErrOverrun = 15;

uint16_t SlotId(uint8_t store, uint8_t slot) { return static_cast<uint16_t>(store << 8 | slot); }

}  // namespace

SimStore::SimStore(const ModuleConfig& config) : config_(config) {}

const char* SimStore::SlotStep(const std::vector<uint8_t>& request) {
  switch (request.size() < 2 ? 0 : request[1]) {
    case kCapacity: return "slot-capacity";
    case kSize: return "slot-size";
    case kOpenRead:
    case kOpenWrite: return "slot-open";
    case kRead: return "slot-read";
    case kWrite: return "slot-write";
    case kClose: return "slot-close";
    default: return "other";
  }
}

bool SimStore::exists(uint8_t store, uint8_t slot) const { return store < config_.stores && slot < config_.slots; }

void SimStore::abandon() {
  open_.clear();
  session_ = Session::None;
}

namespace {

// Errors echo the request's arguments and add the code.
void SlotError(const std::vector<uint8_t>& request, uint8_t code, std::vector<uint8_t>& reply) {
  const uint8_t op = request[1];
  size_t arguments = op <= kOpenWrite ? 4 : 3;
  reply.assign(request.begin(), request.begin() + static_cast<long>(std::min(arguments, request.size())));
  reply[1] = static_cast<uint8_t>(op | kErrorBit);
  reply.push_back(code);
}

}  // namespace

void SimStore::slot(const std::vector<uint8_t>& request, const SimFaults& faults, std::vector<uint8_t>& reply) {
  if (request.size() < 3)
    return;
  uint8_t error = request[1] <= kOpenWrite ? slotByName(request, faults, reply) : slotByHandle(request, faults, reply);
  if (error)
    SlotError(request, error, reply);
}

// Capacity, size and open: the request names store and slot. Returns an error code or 0.
uint8_t SimStore::slotByName(const std::vector<uint8_t>& request, const SimFaults& faults,
                             std::vector<uint8_t>& reply) {
  const uint8_t op = request[1];
  if (request.size() != 4 || op == 0)
    return kErrShortCommand;
  const uint8_t store = request[2], slot = request[3];
  if (!exists(store, slot))
    return kErrIndexRange;
  reply = {kCmdSlot, op, store, slot};
  std::vector<uint8_t>& bytes = slots_[SlotId(store, slot)];
  if (op == kCapacity || op == kSize) {
    PutBE16(reply, op == kCapacity ? config_.slotCapacity : static_cast<uint16_t>(bytes.size()));
    return 0;
  }
  if (faults.fired(FaultKind::RefuseOpen))
    return kErrPermission;
  for (const auto& handle : open_)
    if (handle.second.store == store && handle.second.slot == slot)
      return kErrBusy;
  if (open_.size() >= 255)
    return kErrBusy;
  while (open_.count(nextHandle_) || nextHandle_ == 255)
    nextHandle_ = static_cast<uint8_t>(nextHandle_ + 1);
  open_[nextHandle_] = Open{store, slot, op == kOpenWrite, 0};
  if (op == kOpenWrite)
    bytes.clear();
  reply.push_back(nextHandle_++);
  return 0;
}

// Read, write and close: the request names an open handle. Returns an error code or 0.
uint8_t SimStore::slotByHandle(const std::vector<uint8_t>& request, const SimFaults& faults,
                               std::vector<uint8_t>& reply) {
  const uint8_t op = request[1], handle = request[2];
  auto found = open_.find(handle);
  if (found == open_.end())
    return kErrParam;
  Open& open = found->second;
  std::vector<uint8_t>& bytes = slots_[SlotId(open.store, open.slot)];
  reply = {kCmdSlot, op, handle};
  if (op == kClose) {
    open_.erase(found);
    reply.push_back(0);
  } else if (op == kRead && !open.writing) {
    if (open.position >= bytes.size())
      return kErrEOF;
    size_t n = std::min(kSlotChunk, bytes.size() - open.position);
    reply.insert(reply.end(), bytes.begin() + static_cast<long>(open.position),
                 bytes.begin() + static_cast<long>(open.position + n));
    open.position += n;
  } else if (op == kWrite && open.writing) {
    if (request.size() < 4 || request.size() > 3 + kSlotChunk)
      return kErrSize;
    if (bytes.size() + request.size() - 3 > config_.slotCapacity)
      return kErrOverrun;
    uint8_t sum = 0;
    for (size_t i = 3; i < request.size(); ++i)
      sum = static_cast<uint8_t>(sum + request[i]);
    bytes.insert(bytes.end(), request.begin() + 3, request.end());
    reply.push_back(faults.fired(FaultKind::SlotBadSum) ? static_cast<uint8_t>(~sum) : sum);
  } else {
    return kErrMode;
  }
  return 0;
}

void SimStore::factory(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply) {
  if (request.size() < 2)
    return;
  const uint8_t flags = request[1];
  const uint8_t item = flags & 0x0F;
  auto fail = [&](uint8_t code) { reply = {kCmdFactory, static_cast<uint8_t>(item | kErrorBit), code}; };
  if (flags == kFactoryClose) {
    if (request.size() != 4)
      return fail(kErrShortCommand);
    const size_t total = GetBE16(&request[2]);
    const Session session = session_;
    session_ = Session::None;
    if (session == Session::Write && total == written_.size())
      factory_[sessionItem_] = written_;
    else if (!(session == Session::Read && total == readPosition_))
      return fail(session == Session::None ? kErrNotReady : static_cast<uint8_t>(kErrSize));
    reply = {kCmdFactory, 0};
    return;
  }
  if (flags & kFactoryWrite) {
    if (flags & kFactoryFirst) {
      session_ = Session::Write;
      sessionItem_ = item;
      written_.clear();
    }
    if (session_ != Session::Write || sessionItem_ != item)
      return fail(kErrNotReady);
    if (written_.size() + request.size() - 2 > kFactoryCapacity) {
      session_ = Session::None;
      return fail(kErrOverrun);
    }
    written_.insert(written_.end(), request.begin() + 2, request.end());
    reply = {kCmdFactory, item};
    return;
  }
  if (flags & kFactoryFirst) {
    session_ = Session::Read;
    sessionItem_ = item;
    readPosition_ = 0;
  }
  if (session_ != Session::Read || sessionItem_ != item)
    return fail(kErrNotReady);
  const std::vector<uint8_t>& bytes = factory_[item];
  const size_t n = std::min(kFactoryChunk, bytes.size() - std::min(readPosition_, bytes.size()));
  reply = {kCmdFactory, item};
  reply.insert(reply.end(), bytes.begin() + static_cast<long>(readPosition_),
               bytes.begin() + static_cast<long>(readPosition_ + n));
  readPosition_ += n;
}

std::vector<uint8_t> SimStore::contents(uint8_t store, uint8_t slot) const {
  auto found = slots_.find(SlotId(store, slot));
  return found == slots_.end() ? std::vector<uint8_t>() : found->second;
}

std::vector<uint8_t> SimStore::factoryItem(uint8_t item) const {
  auto found = factory_.find(item);
  return found == factory_.end() ? std::vector<uint8_t>() : found->second;
}

}  // namespace lab
