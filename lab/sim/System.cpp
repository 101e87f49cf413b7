#include "sim/System.h"

#include <cstring>

#include "sim/Frame.h"

namespace lab {

namespace {

enum Form { kNone = 0, kByte = 1, kInt = 4, kBytes = 8 };
enum Access : uint8_t { kGet = 1, kSet = 2, kCall = 4 };

struct OptionDef {
  uint8_t option;
  Form form;
  uint8_t access;
};

const OptionDef kOptions[] = {
    {1, kByte, kGet},         {2, kByte, kGet | kSet},  {3, kByte, kGet | kSet}, {4, kByte, kGet | kSet},
    {6, kByte, kGet | kSet},  {7, kInt, kGet},          {8, kByte, kGet},        {9, kInt, kGet},
    {10, kNone, kCall},       {11, kNone, kCall},       {12, kInt, kGet},        {13, kByte, kGet},
    {14, kByte, kGet},        {15, kByte, kGet | kSet}, {16, kByte, kGet},       {20, kByte, kSet},
    {21, kInt, kGet},         {22, kInt, kGet},         {23, kInt, kGet},        {24, kNone, kCall},
    {25, kInt, kGet},         {26, kInt, kGet},         {27, kInt, kGet},        {28, kInt, kGet},
    {29, kByte, kGet},        {31, kByte, kGet | kSet}, {32, kBytes, kGet},      {33, kInt, kGet},
    {34, kInt, kGet | kSet},  {35, kInt, kGet},         {36, kNone, kCall},      {37, kNone, kCall},
    {38, kByte, kGet | kSet}, {39, kInt, kGet},         {40, kInt, kGet},        {41, kInt, kGet},
};

// Fixed readings of a healthy module (micro-units where physical).
const std::map<uint8_t, uint32_t> kReadings = {
    {12, 5000000}, {13, 0},  {21, 120000},   {23, 41000000}, {25, 12000000}, {26, 150000}, {27, 33000000},
    {28, 21000000}, {29, 1}, {33, 10000000}, {35, 0},        {40, 1},        {41, 0},
};

constexpr uint8_t kRouteToMe = 20;
constexpr uint8_t kIdentifier = 39;
constexpr size_t kArrayChunk = 24;

const OptionDef* FindOption(uint8_t option) {
  for (const OptionDef& def : kOptions)
    if (def.option == option)
      return &def;
  return nullptr;
}

std::vector<uint8_t> ErrorReply(uint8_t replyOption, uint8_t index, uint8_t code) {
  return {kCmdSystem, replyOption, static_cast<uint8_t>(index | 0x80), code};
}

std::vector<uint8_t> ValueReply(uint8_t option, uint8_t index, Form form, uint32_t value) {
  std::vector<uint8_t> reply = {kCmdSystem, option, index};
  if (form == kByte)
    reply.push_back(static_cast<uint8_t>(value));
  else if (form == kInt)
    PutBE32(reply, value);
  return reply;
}

uint32_t Setting(const SimState& state, uint8_t option) {
  auto it = state.settings.find(option);
  return it == state.settings.end() ? 0 : it->second;
}

uint32_t GetValue(const SimState& state, uint8_t option, uint64_t nowMs) {
  const ModuleConfig& cfg = *state.config;
  switch (option) {
    case 1: return state.address;
    case 2: return state.routerAddress;
    case 3: return state.heartbeat;
    case 7: return state.version;
    case 8: return cfg.model;
    case 9: return cfg.serial;
    case 14: return state.address;
    case 16: return state.routerAddress;
    case 22: return static_cast<uint32_t>((nowMs - state.bootMs) / 1000);
    default: break;
  }
  auto reading = kReadings.find(option);
  return reading != kReadings.end() ? reading->second : Setting(state, option);
}

void ByteArrayReplies(uint8_t option, uint8_t index, const std::string& text,
                      std::vector<std::vector<uint8_t>>& replies) {
  size_t at = 0;
  uint8_t sequence = 0;
  do {
    size_t n = text.size() - at < kArrayChunk ? text.size() - at : kArrayChunk;
    std::vector<uint8_t> reply = {kCmdSystem, option, index};
    reply.insert(reply.end(), text.begin() + static_cast<std::ptrdiff_t>(at),
                 text.begin() + static_cast<std::ptrdiff_t>(at + n));
    at += n;
    bool more = at < text.size();
    reply.push_back(static_cast<uint8_t>((sequence & 0x7F) | (more ? 0x80 : 0)));
    replies.push_back(reply);
    sequence = static_cast<uint8_t>((sequence + 1) & 0x7F);
  } while (at < text.size());
}

void Get(SimState& state, const OptionDef& def, uint8_t index, const std::vector<uint8_t>& request, uint64_t nowMs,
         std::vector<std::vector<uint8_t>>& replies) {
  if (def.form == kBytes) {
    const std::string& name = state.config->name;
    ByteArrayReplies(def.option, index, name.empty() ? "Lab module" : name, replies);
    return;
  }
  if (def.option == kIdentifier) {
    uint8_t sub = request.size() > 3 ? request[3] : 0;
    if (sub > 3)
      replies.push_back(ErrorReply(def.option, index, kErrIndexRange));
    else
      replies.push_back(ValueReply(def.option, index, kInt, state.config->identifier[sub]));
    return;
  }
  replies.push_back(ValueReply(def.option, index, def.form, GetValue(state, def.option, nowMs)));
}

bool Set(SimState& state, const OptionDef& def, const std::vector<uint8_t>& request, uint8_t& error) {
  size_t expected = def.form == kInt ? 7 : 4;
  if (request.size() != expected) {
    error = request.size() < expected ? kErrShortCommand : kErrSize;
    return false;
  }
  uint32_t value = def.form == kInt ? GetBE32(&request[3]) : request[3];
  switch (def.option) {
    case 2: state.routerAddress = static_cast<uint8_t>(value); break;
    case 3: state.heartbeat = static_cast<uint8_t>(value); break;
    case 4: state.settings[4] = value ? 1 : 0; break;
    case kRouteToMe:
      if (!state.config->router) {
        error = kErrUnimplemented;  // only routers have a module network to route
        return false;
      }
      state.routing = value != 0;
      break;
    default: state.settings[def.option] = value; break;
  }
  return true;
}

void Call(SimState& state, uint8_t option) {
  if (option == 11)
    state.resetRequested = true;
  else if (option == 36 || option == 37)
    state.reset(*state.config, state.defaultRouterAddress);
}

}  // namespace

void SimState::reset(const ModuleConfig& cfg, uint8_t routerAddressDefault) {
  config = &cfg;
  address = cfg.address;
  defaultRouterAddress = routerAddressDefault;
  routerAddress = cfg.routerAddress ? cfg.routerAddress : routerAddressDefault;
  heartbeat = cfg.heartbeat;
  routing = false;
  settings.clear();
}

void HandleSystem(SimState& state, const std::vector<uint8_t>& request, uint64_t nowMs,
                  std::vector<std::vector<uint8_t>>& replies) {
  if (request.size() < 3)
    return;  // too short to say which option an error reply would be for
  uint8_t option = request[1] & 0x3F;
  bool get = (request[1] & 0x40) != 0;
  bool set = (request[1] & 0x80) != 0;
  uint8_t index = request[2] & 0x1F;
  uint8_t replyOption = set ? static_cast<uint8_t>(option | 0xC0) : option;
  const OptionDef* def = FindOption(option);
  uint8_t error = 0;
  if (get == set)
    error = kErrParam;
  else if (index != 0)
    error = kErrIndexRange;
  else if (!def)
    error = kErrInvalidOption;
  else if (get && !(def->access & kGet))
    error = kErrPermission;
  else if (set && !(def->access & (kSet | kCall)))
    error = kErrPermission;
  if (error) {
    replies.push_back(ErrorReply(replyOption, index, error));
    return;
  }
  if (get) {
    Get(state, *def, index, request, nowMs, replies);
    return;
  }
  if (def->access & kCall)
    Call(state, option);
  else if (!Set(state, *def, request, error)) {
    replies.push_back(ErrorReply(replyOption, index, error));
    return;
  }
  replies.push_back({kCmdSystem, replyOption, index});
}

bool SystemSupports(uint8_t option, uint8_t direction) {
  const OptionDef* def = FindOption(option);
  if (!def)
    return false;
  if (direction == 0x40)
    return (def->access & kGet) != 0;
  if (direction == 0x80)
    return (def->access & (kSet | kCall)) != 0;
  return true;
}

void HandleQuery(const SimState& state, const std::vector<uint8_t>& request, std::vector<uint8_t>& reply) {
  reply.clear();
  if (request.size() < 2)
    return;
  switch (request[1]) {
    case 1:  // does the module offer this UEI
      if (request.size() == 6) {
        bool known = request[2] == kCmdSystem && request[4] == 0 && SystemSupports(request[3], request[5]);
        reply = {kCmdQuery, 1, request[2], request[3], request[4], static_cast<uint8_t>(known ? 1 : 0)};
      }
      break;
    case 4:  // entities of a class: one system entity, one upgrade entity
      if (request.size() == 3) {
        bool one = request[2] == kCmdSystem || request[2] == 0x5F;
        reply = {kCmdQuery, 4, request[2], static_cast<uint8_t>(one ? 1 : 0)};
      }
      break;
    case 5:
    case 6:
      if (request.size() == 4)
        reply = {kCmdQuery, request[1], request[2], request[3], 0};
      break;
    case 0xFF:
      if (request.size() == 2) {
        reply = {kCmdQuery, 0xFF};
        PutBE32(reply, state.build);
      }
      break;
    default: break;
  }
}

}  // namespace lab
