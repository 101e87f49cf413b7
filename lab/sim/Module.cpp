#include "sim/Module.h"

#include <algorithm>
#include <cstdio>

namespace lab {

namespace {

constexpr uint64_t kHeartbeatUnitMs = 100;
constexpr size_t kReceivedKept = 4096;
constexpr uint64_t kAwayForGoodMs = 24ull * 3600 * 1000;

// Starts with an odd byte, so a host counting frames loses step at once.
const uint8_t kGarbage[] = {0x03, 0xFF, 0x1D, 0x00, 0x7F, 0x31, 0x00, 0xAB,
                            0x1E, 0x05, 0x00, 0x00, 0xC1, 0x99, 0x01, 0x2F};

std::string RequestStep(const std::vector<uint8_t>& request) {
  switch (request[0]) {
    case kCmdSystem: return "system";
    case kCmdQuery: return "query";
    case kCmdDebug: return "debug";
    case kCmdUpgrade: return SimUpgrade::StepName(request);
    case kCmdSlot: return SimStore::SlotStep(request);
    case kCmdFactory: return "factory";
    case kCmdStream: return "stream";
    case kCmdSampler: return "sampler";
    default: return "other";
  }
}

// The error reply to a UEI request (specifier bit 5 set); empty for anything else.
std::vector<uint8_t> UEIErrorReply(const std::vector<uint8_t>& request, uint8_t code) {
  if (request.size() < 3 || !(request[2] & 0x20))
    return {};
  uint8_t option = request[1] & 0x80 ? static_cast<uint8_t>(request[1] | 0xC0) : (request[1] & 0x3F);
  return {request[0], option, static_cast<uint8_t>((request[2] & 0x1F) | 0x80), code};
}

std::string VersionText(uint32_t version) {
  char text[32];
  std::snprintf(text, sizeof(text), "%u.%u.%u", version >> 28, (version >> 24) & 0xF, version & 0xFFFFFF);
  return text;
}

}  // namespace

SimModule::SimModule(const ModuleConfig& config, uint8_t defaultRouterAddress, const std::string& dumpDir,
                     uint64_t nowMs)
    : config_(config), dumpDir_(dumpDir), faults_(config_.faults), upgrade_(config_), store_(config_),
      streams_(config_) {
  state_.reset(config_, defaultRouterAddress);
  state_.version = config_.version;
  state_.build = config_.build;
  state_.bootMs = nowMs;
  away_ = config_.arriveMs != 0;
  presenceAt_ = away_ ? nowMs + config_.arriveMs : config_.presentMs != 0 ? nowMs + config_.presentMs : 0;
}

std::string SimModule::tag() const {
  char text[16];
  std::snprintf(text, sizeof(text), "%08X", config_.serial);
  return text;
}

std::string SimModule::describe() const {
  char line[200];
  std::snprintf(line, sizeof(line), "module %s model %u address %u build %u version %s", tag().c_str(),
                config_.model, state_.address, state_.build, VersionText(state_.version).c_str());
  std::string text = line;
  if (config_.behind) {
    std::snprintf(line, sizeof(line), " behind %08X", config_.behind);
    text += line;
  } else {
    text += " port " + std::to_string(config_.port);
  }
  if (config_.router)
    text += " router";
  for (const FaultSpec& fault : config_.faults)
    text += std::string(" fault ") + FaultKindName(fault.kind);
  return text;
}

void SimModule::linkOpened(uint64_t nowMs) {
  ++stats_.links;
  linkOpen_ = true;
  awaitingAnswer_ = false;
  nextHeartbeat_ = nowMs + state_.heartbeat * kHeartbeatUnitMs;
}

void SimModule::linkClosed() {
  linkOpen_ = false;
  // Nobody listens any more: streams stop and open slots are abandoned.
  streams_.stopAll();
  store_.abandon();
  awaitingAnswer_ = false;
}

void SimModule::receive(const SimFrame& frame, uint64_t nowMs, SimOutput& out) {
  received_.push_back(frame);
  if (received_.size() > kReceivedKept)
    received_.pop_front();
  if (rebooting_ || away_ || faults_.has(FaultKind::Silent)) {
    ++stats_.ignored;
    return;
  }
  if (frame.address == kControlAddress)
    control(frame, out);
  else if (frame.address == kQueryAddress && frame.data.empty())
    addressQuery(out);
  else if (frame.address == state_.address)
    serve(frame, nowMs, out);
  else if (!route(frame, nowMs, out))
    ++stats_.ignored;
  if (leaving_ != Leave::No) {
    leave(nowMs, out);
    out.reboot = true;
  }
}

void SimModule::leave(uint64_t nowMs, SimOutput& out) {
  bool reboot = leaving_ == Leave::Reboot;
  leaving_ = Leave::No;
  if (reboot) {
    ++stats_.reboots;
    dump(".bin", upgrade_.firmware().bytes);
  }
  rebooting_ = true;
  rebootBoots_ = reboot;
  // A module that never comes back is away for a day: longer than any run.
  onlineAt_ = nowMs + (reboot && upgrade_.staysAway() ? kAwayForGoodMs : config_.rebootDelayMs);
  if (onlineAt_ == 0)
    onlineAt_ = 1;
  linkClosed();
  out.notes.push_back(tag() + (reboot ? ": rebooting for " : ": loader leaves the link for ") +
                      std::to_string(config_.rebootDelayMs) + " ms");
}

bool SimModule::disrupted(const std::string& step, SimOutput& out) {
  faults_.onRequest(step);
  if (faults_.fired(FaultKind::Drop)) {
    out.dropLink = true;
    out.notes.push_back(tag() + ": dropping the link at " + step);
    return true;
  }
  if (faults_.fired(FaultKind::NoReply))
    return true;
  if (faults_.fired(FaultKind::Garbage))
    out.bytes.insert(out.bytes.end(), std::begin(kGarbage), std::end(kGarbage));
  return false;
}

void SimModule::control(const SimFrame& frame, SimOutput& out) {
  if (frame.data.size() != 1)
    return;
  if (frame.data[0] == 0) {  // the host stops its link: no more heartbeats
    linkOpen_ = false;
    return;
  }
  if (disrupted("start", out))
    return;
  std::vector<uint8_t> late;
  if (upgrade_.takeLateLoadReply(late))
    AppendFrame(out.bytes, state_.address, late);
}

void SimModule::addressQuery(SimOutput& out) {
  if (disrupted("address", out))
    return;
  AppendFrame(out.bytes, state_.address, {});
}

bool SimModule::route(const SimFrame& frame, uint64_t nowMs, SimOutput& out) {
  if (!config_.router || !state_.routing)
    return false;
  bool held = false;
  for (SimModule* child : network_) {
    held = held || child->address() == frame.address;
    if (child->address() != frame.address || !child->online() || child->has(FaultKind::Silent))
      continue;
    child->serve(frame, nowMs, out);
    if (child->leaving_ != Leave::No)
      child->leave(nowMs, out);  // the router's own link stays up
    return true;
  }
  // Nobody holds this address: said at once, a network scan need not wait
  // out the host's time-out for every empty address.
  std::vector<uint8_t> reply;
  if (config_.answerAbsent && !held)
    reply = UEIErrorReply(frame.data, kErrNotFound);
  if (!reply.empty()) {
    AppendFrame(out.bytes, frame.address, reply);
    return true;
  }
  return false;
}

void SimModule::serve(const SimFrame& frame, uint64_t nowMs, SimOutput& out) {
  const std::vector<uint8_t>& request = frame.data;
  if (request.empty()) {
    ++stats_.ignored;
    return;
  }
  if (request.size() == 2 && request[0] == 0) {
    heartbeatAnswer(request[1], out);
    return;
  }
  ++stats_.requests;
  if (disrupted(RequestStep(request), out))
    return;
  std::vector<std::vector<uint8_t>> replies;
  answer(request, nowMs, replies);
  send(replies, out);
  if (state_.resetRequested) {
    state_.resetRequested = false;
    leaving_ = Leave::Reboot;
  }
}

void SimModule::answer(const std::vector<uint8_t>& request, uint64_t nowMs,
                       std::vector<std::vector<uint8_t>>& replies) {
  std::vector<uint8_t> reply;
  switch (request[0]) {
    case kCmdSystem: HandleSystem(state_, request, nowMs, replies); return;
    case kCmdQuery: HandleQuery(state_, request, reply); break;
    case kCmdDebug: reply = request; break;  // echo
    case kCmdUpgrade: upgradeRequest(request, nowMs, replies); return;
    case kCmdSlot: store_.slot(request, faults_, reply); break;
    case kCmdFactory: store_.factory(request, reply); break;
    case kCmdStream: streams_.command(state_.address, request, faults_, reply); break;
    case kCmdSampler: streams_.sampler(request, reply); break;
    default:
      // Another entity's UEI request: this module has no such entity.
      reply = UEIErrorReply(request, kErrInvalidEntity);
      break;
  }
  if (reply.empty())
    ++stats_.ignored;
  else
    replies.push_back(reply);
}

void SimModule::upgradeRequest(const std::vector<uint8_t>& request, uint64_t,
                               std::vector<std::vector<uint8_t>>& replies) {
  std::vector<uint8_t> reply;
  uint32_t writesBefore = upgrade_.writes();
  bool loaderBefore = upgrade_.loaderStarted();
  upgrade_.handle(request, faults_, reply);
  if (!reply.empty())
    replies.push_back(reply);
  if (upgrade_.writes() != writesBefore)
    dump(".bin", upgrade_.firmware().bytes);
  if (upgrade_.loaderStarted() && !loaderBefore) {
    dump(".loader.bin", upgrade_.loader());
    if (faults_.fired(FaultKind::RejoinAfterLoad))
      leaving_ = Leave::Rejoin;
  }
  if (upgrade_.rebootRequested())
    leaving_ = Leave::Reboot;
}

void SimModule::send(const std::vector<std::vector<uint8_t>>& replies, SimOutput& out) {
  if (replies.empty())
    return;
  if (faults_.fired(FaultKind::InterleaveAddress)) {
    // The same reply as if another module on the network had sent it.
    uint8_t other = state_.address >= 254 ? 2 : static_cast<uint8_t>(state_.address + 2);
    AppendFrame(out.bytes, other, replies.front());
  }
  if (faults_.fired(FaultKind::InterleaveCommand)) {
    std::vector<uint8_t> decoy = replies.front();
    decoy[0] ^= 0x40;
    AppendFrame(out.bytes, state_.address, decoy);
  }
  for (const std::vector<uint8_t>& reply : replies)
    AppendFrame(out.bytes, state_.address, reply);
}

void SimModule::heartbeatAnswer(uint8_t value, SimOutput& out) {
  uint8_t expected = expectedAnswer_;
  if (awaitingAnswer_ && value == expected) {
    ++stats_.heartbeatsAnswered;
  } else {
    ++stats_.heartbeatsWrong;
    char note[80];
    std::snprintf(note, sizeof(note), ": heartbeat answer %02X, expected %02X", value, expected);
    out.notes.push_back(tag() + note);
  }
  awaitingAnswer_ = false;
}

void SimModule::heartbeat(uint64_t nowMs, SimOutput& out) {
  if (awaitingAnswer_) {
    ++stats_.heartbeatsMissed;
    out.notes.push_back(tag() + ": heartbeat not answered");
  }
  AppendFrame(out.bytes, state_.address, {0x00, heartbeatValue_});
  expectedAnswer_ = static_cast<uint8_t>(heartbeatValue_ + 2);
  heartbeatValue_ = static_cast<uint8_t>(heartbeatValue_ + 1);
  awaitingAnswer_ = true;
  ++stats_.heartbeatsSent;
  nextHeartbeat_ = nowMs + state_.heartbeat * kHeartbeatUnitMs;
}

void SimModule::presence(uint64_t nowMs, SimOutput& out) {
  if (presenceAt_ == 0 || nowMs < presenceAt_)
    return;
  if (!away_) {
    // Pulled out, whatever it was doing.
    away_ = true;
    rebooting_ = false;
    leaving_ = Leave::No;
    linkClosed();
    out.reboot = true;
    presenceAt_ = nowMs + config_.awayMs;
    out.notes.push_back(tag() + ": unplugged");
    return;
  }
  away_ = false;
  upgrade_.restart();
  state_.reset(config_, state_.defaultRouterAddress);
  state_.build = config_.build;
  state_.version = config_.version;
  state_.bootMs = nowMs;
  presenceAt_ = config_.presentMs != 0 ? nowMs + config_.presentMs : 0;
  out.notes.push_back(tag() + ": plugged in with build " + std::to_string(state_.build));
}

void SimModule::tick(uint64_t nowMs, SimOutput& out) {
  presence(nowMs, out);
  if (away_)
    return;
  if (rebooting_ && nowMs >= onlineAt_)
    finishReboot(nowMs, out);
  bool beating = linkOpen_ && !rebooting_ && state_.heartbeat != 0 && !faults_.has(FaultKind::Silent);
  if (beating && nowMs >= nextHeartbeat_)
    heartbeat(nowMs, out);
  if (!rebooting_ && !faults_.has(FaultKind::Silent))
    streams_.tick(nowMs, state_.address, out.bytes);
  for (SimModule* child : network_)
    child->tick(nowMs, out);
}

uint64_t SimModule::nextEvent() const {
  uint64_t next = 0;
  auto consider = [&next](uint64_t at) {
    if (at != 0 && (next == 0 || at < next))
      next = at;
  };
  consider(presenceAt_);
  if (away_)
    return next;
  if (rebooting_)
    consider(onlineAt_);
  if (linkOpen_ && !rebooting_ && state_.heartbeat != 0)
    consider(nextHeartbeat_);
  if (!rebooting_)
    consider(streams_.nextEvent() == 0 ? 0 : std::max<uint64_t>(streams_.nextEvent(), 1));
  for (const SimModule* child : network_)
    consider(child->nextEvent());
  return next;
}

void SimModule::finishReboot(uint64_t nowMs, SimOutput& out) {
  rebooting_ = false;
  if (!rebootBoots_) {
    out.notes.push_back(tag() + ": loader back on the link");
    return;
  }
  if (upgrade_.bootsNewImage()) {
    SimImageInfo info = FindImageInfo(upgrade_.firmware().bytes);
    if (info.found) {
      state_.build = info.build;
      if (info.hasVersion)
        state_.version = info.version;
    } else if (config_.nextBuild) {
      state_.build = config_.nextBuild;
    }
  }
  if (config_.rebootAs)
    config_.serial = config_.rebootAs;
  upgrade_.restart();
  state_.reset(config_, state_.defaultRouterAddress);
  state_.bootMs = nowMs;
  out.notes.push_back(tag() + ": online again with build " + std::to_string(state_.build));
}

void SimModule::dump(const char* suffix, const std::vector<uint8_t>& bytes) {
  if (!dumpDir_.empty() && !WriteDumpFile(dumpDir_, tag() + suffix, bytes))
    std::fprintf(stderr, "%s: cannot write %s/%s%s\n", tag().c_str(), dumpDir_.c_str(), tag().c_str(), suffix);
}

}  // namespace lab
