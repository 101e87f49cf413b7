#include "LabConfig.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace lab {

namespace {

struct FaultWord {
  const char* name;
  FaultKind kind;
  const char* defaultStep;
  bool stepArgument;  // the argument names a step (else it is a number)
  uint32_t defaultValue;
  unsigned defaultNth;
};

const FaultWord kFaultWords[] = {
    {"short-data", FaultKind::ShortData, "data", false, 6, 1},
    {"bad-sum", FaultKind::BadSum, "sum", false, 0, 1},
    {"no-load-reply", FaultKind::NoLoadReply, "load", false, 0, 1},
    {"late-load-reply", FaultKind::LateLoadReply, "load", false, 0, 1},
    {"rejoin-after-load", FaultKind::RejoinAfterLoad, "load", false, 0, 1},
    {"prepare-status", FaultKind::PrepareStatus, "prepare", false, 1, 1},
    {"drop", FaultKind::Drop, "", true, 0, 1},
    {"interleave-address", FaultKind::InterleaveAddress, "any", true, 0, 0},
    {"interleave-command", FaultKind::InterleaveCommand, "any", true, 0, 0},
    {"garbage", FaultKind::Garbage, "start", true, 0, 1},
    {"silent", FaultKind::Silent, "any", false, 0, 0},
    {"refuse-link", FaultKind::RefuseLink, "any", false, 0, 0},
    {"no-discovery", FaultKind::NoDiscovery, "any", false, 0, 0},
    {"no-reply", FaultKind::NoReply, "", true, 0, 1},
    {"refuse-open", FaultKind::RefuseOpen, "slot-open", false, 0, 1},
    {"slot-bad-sum", FaultKind::SlotBadSum, "slot-write", false, 0, 1},
    {"stream-error", FaultKind::StreamError, "stream", false, 29, 1},
    {"sample-length", FaultKind::SampleLength, "any", false, 0, 0},
    {"sample-burst", FaultKind::SampleBurst, "any", false, 50, 0},
    {"old-build", FaultKind::OldBuild, "reboot", false, 0, 1},
    {"never-back", FaultKind::NeverBack, "reboot", false, 0, 1},
};

const std::set<std::string> kSteps = {"start", "address", "system", "query", "debug", "init", "prepare",
                                      "data",  "sum",     "write",  "load",  "reboot", "any",
                                      "slot-capacity", "slot-size", "slot-open", "slot-read", "slot-write",
                                      "slot-close", "factory", "stream", "sampler"};

// "a.b.c" packed as major:4, minor:4, patch:24; a plain number is taken as packed.
bool ParseVersion(const std::string& text, uint32_t& version) {
  uint64_t major = 0, minor = 0, patch = 0;
  size_t first = text.find('.');
  if (first == std::string::npos) {
    if (!ParseNumber(text, 0, 0xFFFFFFFFull, major))
      return false;
    version = static_cast<uint32_t>(major);
    return true;
  }
  size_t second = text.find('.', first + 1);
  if (second == std::string::npos)
    return false;
  if (!ParseNumber(text.substr(0, first), 10, 15, major) ||
      !ParseNumber(text.substr(first + 1, second - first - 1), 10, 15, minor) ||
      !ParseNumber(text.substr(second + 1), 10, 0xFFFFFF, patch))
    return false;
  version = static_cast<uint32_t>((major << 28) | (minor << 24) | patch);
  return true;
}

bool ParseBool(const std::string& text, bool& value) {
  if (text.empty() || text == "1" || text == "yes" || text == "true" || text == "on")
    value = true;
  else if (text == "0" || text == "no" || text == "false" || text == "off")
    value = false;
  else
    return false;
  return true;
}

bool ParseIdentifier(const std::string& text, ModuleConfig& module) {
  module.identifierSet = ParseWords(text, module.identifier);
  return module.identifierSet;
}

template <typename T>
bool SetNumber(const std::string& text, int base, uint64_t limit, T& field) {
  uint64_t value = 0;
  if (!ParseNumber(text, base, limit, value))
    return false;
  field = static_cast<T>(value);
  return true;
}

// "S:N:BYTES": slot stores, slots in each, bytes in each slot.
bool ParseSlots(const std::string& value, ModuleConfig& m) {
  uint64_t stores = 0, slots = 0, capacity = 0;
  size_t first = value.find(':'), second = value.find(':', first == std::string::npos ? first : first + 1);
  if (second == std::string::npos || !ParseNumber(value.substr(0, first), 10, 255, stores) ||
      !ParseNumber(value.substr(first + 1, second - first - 1), 10, 255, slots) ||
      !ParseNumber(value.substr(second + 1), 10, 65535, capacity))
    return false;
  m.stores = static_cast<uint8_t>(stores);
  m.slots = static_cast<uint8_t>(slots);
  m.slotCapacity = static_cast<uint16_t>(capacity);
  return true;
}

// cycle=PRESENT:AWAY, both in ms and not 0.
bool ParseCycle(const std::string& value, ModuleConfig& m) {
  uint64_t present = 0, away = 0;
  size_t colon = value.find(':');
  if (colon == std::string::npos || !ParseNumber(value.substr(0, colon), 10, 86400000, present) ||
      !ParseNumber(value.substr(colon + 1), 10, 86400000, away) || present == 0 || away == 0)
    return false;
  m.presentMs = static_cast<uint32_t>(present);
  m.awayMs = static_cast<uint32_t>(away);
  return true;
}

using V = const std::string&;
struct ModuleKey {
  const char* key;
  bool (*set)(V value, ModuleConfig& m);
};

const ModuleKey kModuleKeys[] = {
    {"serial", [](V v, ModuleConfig& m) { return SetNumber(v, 16, 0xFFFFFFFFull, m.serial) && m.serial != 0; }},
    {"model", [](V v, ModuleConfig& m) { return SetNumber(v, 10, 255, m.model); }},
    {"address", [](V v, ModuleConfig& m) { return SetNumber(v, 10, 254, m.address) && m.address && m.address % 2 == 0; }},
    {"router-address",
     [](V v, ModuleConfig& m) { return SetNumber(v, 10, 254, m.routerAddress) && m.routerAddress % 2 == 0; }},
    {"version", [](V v, ModuleConfig& m) { return ParseVersion(v, m.version); }},
    {"build", [](V v, ModuleConfig& m) { return SetNumber(v, 10, 0xFFFFFFFFull, m.build); }},
    {"port", [](V v, ModuleConfig& m) { return SetNumber(v, 10, 65535, m.port) && m.port != 0; }},
    {"hb", [](V v, ModuleConfig& m) { return SetNumber(v, 10, 255, m.heartbeat); }},
    {"router", [](V v, ModuleConfig& m) { return ParseBool(v, m.router); }},
    {"behind", [](V v, ModuleConfig& m) { return SetNumber(v, 16, 0xFFFFFFFFull, m.behind) && m.behind != 0; }},
    {"reboot-delay", [](V v, ModuleConfig& m) { return SetNumber(v, 10, 600000, m.rebootDelayMs); }},
    {"block-size", [](V v, ModuleConfig& m) { return SetNumber(v, 10, 65535, m.blockSize) && m.blockSize != 0; }},
    {"load-base", [](V v, ModuleConfig& m) { return SetNumber(v, 16, 0xFFFFFFFFull, m.loadBase); }},
    {"id", [](V v, ModuleConfig& m) { return ParseIdentifier(v, m); }},
    {"next-build", [](V v, ModuleConfig& m) { return SetNumber(v, 10, 0xFFFFFFFFull, m.nextBuild); }},
    {"reboot-as", [](V v, ModuleConfig& m) { return SetNumber(v, 16, 0xFFFFFFFFull, m.rebootAs) && m.rebootAs; }},
    {"answer-absent", [](V v, ModuleConfig& m) { return ParseBool(v, m.answerAbsent); }},
    {"name", [](V v, ModuleConfig& m) { return !v.empty() && v.size() <= 64 && ((m.name = v), true); }},
    {"slots", ParseSlots},
    {"arrive", [](V v, ModuleConfig& m) { return SetNumber(v, 10, 86400000, m.arriveMs); }},
    {"cycle", ParseCycle},
    {"stream-ms", [](V v, ModuleConfig& m) { return SetNumber(v, 10, 60000, m.streamIntervalMs) && m.streamIntervalMs; }},
};

bool ApplyKey(const std::string& key, const std::string& value, ModuleConfig& m, std::string& error) {
  if (key == "fault") {
    FaultSpec fault;
    if (!ParseFaultSpec(value, fault, error))
      return false;
    m.faults.push_back(fault);
    return true;
  }
  for (const ModuleKey& k : kModuleKeys) {
    if (key != k.key)
      continue;
    if (k.set(value, m))
      return true;
    error = "bad value '" + value + "' for '" + key + "'";
    return false;
  }
  error = "unknown module key '" + key + "'";
  return false;
}

std::vector<std::string> SplitWords(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (!word.empty())
        words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty())
    words.push_back(word);
  return words;
}

}  // namespace

bool ModuleConfig::has(FaultKind kind) const {
  for (const FaultSpec& fault : faults)
    if (fault.kind == kind)
      return true;
  return false;
}

const char* FaultKindName(FaultKind kind) {
  for (const FaultWord& word : kFaultWords)
    if (word.kind == kind)
      return word.name;
  return "?";
}

namespace {

// The parts of "KIND[:ARG][@N]".
struct FaultParts {
  std::string kind, argument, nth;
  bool hasArgument = false;
};

FaultParts SplitFault(const std::string& text) {
  FaultParts parts;
  std::string rest = text;
  size_t at = rest.find('@');
  if (at != std::string::npos) {
    parts.nth = rest.substr(at + 1);
    rest = rest.substr(0, at);
  }
  size_t colon = rest.find(':');
  parts.hasArgument = colon != std::string::npos;
  if (parts.hasArgument) {
    parts.argument = rest.substr(colon + 1);
    rest = rest.substr(0, colon);
  }
  parts.kind = rest;
  return parts;
}

// The argument is a step for some kinds, a number for the others.
bool ApplyFaultArgument(const FaultWord& word, const std::string& argument, const std::string& text,
                        FaultSpec& fault, std::string& error) {
  if (word.stepArgument) {
    if (!kSteps.count(argument)) {
      error = "unknown step '" + argument + "' in fault '" + text + "'";
      return false;
    }
    fault.step = argument;
    return true;
  }
  uint64_t value = 0;
  if (!ParseNumber(argument, 10, 255, value) || (fault.kind == FaultKind::PrepareStatus && value == 0)) {
    error = "bad argument in fault '" + text + "'";
    return false;
  }
  fault.value = static_cast<uint32_t>(value);
  return true;
}

}  // namespace

bool ParseFaultSpec(const std::string& text, FaultSpec& fault, std::string& error) {
  FaultParts parts = SplitFault(text);
  const FaultWord* word = nullptr;
  for (const FaultWord& candidate : kFaultWords)
    if (parts.kind == candidate.name)
      word = &candidate;
  if (!word) {
    error = "unknown fault '" + parts.kind + "'";
    return false;
  }
  fault = FaultSpec();
  fault.kind = word->kind;
  fault.step = word->defaultStep;
  fault.value = word->defaultValue;
  fault.nth = word->defaultNth;
  if (parts.hasArgument && !ApplyFaultArgument(*word, parts.argument, text, fault, error))
    return false;
  if (fault.step.empty()) {
    error = "fault '" + text + "' needs a step, e.g. " + parts.kind + ":write";
    return false;
  }
  uint64_t nth = 0;
  if (!parts.nth.empty() && !ParseNumber(parts.nth, 10, 1000000, nth)) {
    error = "bad occurrence in fault '" + text + "'";
    return false;
  }
  if (!parts.nth.empty())
    fault.nth = static_cast<unsigned>(nth);
  return true;
}

bool ParseModuleSpec(const std::string& text, ModuleConfig& module, std::string& error) {
  module = ModuleConfig();
  for (const std::string& word : SplitWords(text)) {
    size_t eq = word.find('=');
    std::string key = word.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
    if (!ApplyKey(key, value, module, error))
      return false;
  }
  if (module.serial == 0) {
    error = "module needs serial=XXXXXXXX";
    return false;
  }
  if (!module.identifierSet) {
    // A distinct default chip identifier per module, derived from its serial number.
    for (uint32_t i = 0; i < 4; ++i)
      module.identifier[i] = module.serial ^ (0x11111111u * (i + 1));
  }
  return true;
}

bool ForEachSpecLine(const std::string& path, const SpecTaker& take, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read config file " + path;
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    size_t hash = line.find('#');
    if (hash != std::string::npos)
      line = line.substr(0, hash);
    std::vector<std::string> words = SplitWords(line);
    if (words.empty())
      continue;
    if (words[0] == "module")
      line = line.substr(line.find("module") + 6);
    if (!take(line, error)) {
      error = path + ":" + std::to_string(number) + ": " + error;
      return false;
    }
  }
  return true;
}

namespace {

// Adds each module spec it is given to `config`.
SpecTaker sAddModule(LabConfig& config) {
  return [&config](const std::string& spec, std::string& error) {
    ModuleConfig module;
    if (!ParseModuleSpec(spec, module, error))
      return false;
    config.modules.push_back(module);
    return true;
  };
}

}  // namespace

bool ParseConfigFile(const std::string& path, LabConfig& config, std::string& error) {
  return ForEachSpecLine(path, sAddModule(config), error);
}

std::vector<Option> ModulesOptionTable(LabConfig& config) {
  auto file = [&config](const std::string& path, std::string& error) { return ParseConfigFile(path, config, error); };
  return {
      Custom("--module", "SPEC", "one module, e.g. serial=0000BEEF,model=17,address=4,port=9000",
             sAddModule(config)),
      Custom("--config", "FILE", "modules from a file: one SPEC per line, '#' starts a comment", file),
      Text("--dump-dir", "DIR", "after every WRITE and REBOOT write the firmware a module holds\n"
                                "to DIR/<SERIAL>.bin (from its lowest written address, gaps\n"
                                "0xFF); after LOAD the loader to DIR/<SERIAL>.loader.bin", config.dumpDir),
      Flag("--verbose", "trace every frame on stderr", config.verbose),
  };
}

bool ParseLabArguments(const std::vector<std::string>& args, LabConfig& config, std::string& error) {
  Options options("updater-lab modules", "", ModulesOptionTable(config));
  return options.parseAll(args, error) && ValidateConfig(config, error);
}

bool ValidateConfig(const LabConfig& config, std::string& error) {
  std::map<uint32_t, const ModuleConfig*> bySerial;
  std::set<uint16_t> ports;
  std::set<std::pair<uint32_t, uint8_t>> networkAddresses;
  for (const ModuleConfig& m : config.modules) {
    char serial[16];
    std::snprintf(serial, sizeof(serial), "%08X", m.serial);
    if (!bySerial.emplace(m.serial, &m).second) {
      error = std::string("serial number ") + serial + " is used twice";
      return false;
    }
    if (m.behind == 0 && m.port == 0) {
      error = std::string("module ") + serial + " needs port=N (or behind=ROUTER)";
      return false;
    }
    if (m.behind != 0 && (m.port != 0 || m.router)) {
      error = std::string("module ") + serial + " sits behind a router: no port, not a router itself";
      return false;
    }
    if (m.port != 0 && !ports.insert(m.port).second) {
      error = "port " + std::to_string(m.port) + " is used twice";
      return false;
    }
  }
  for (const ModuleConfig& m : config.modules) {
    if (m.behind == 0)
      continue;
    auto router = bySerial.find(m.behind);
    if (router == bySerial.end() || !router->second->router) {
      error = "behind= must name a module with router=yes";
      return false;
    }
    if (m.address == router->second->address || !networkAddresses.emplace(m.behind, m.address).second) {
      error = "module address " + std::to_string(m.address) + " is used twice on one module network";
      return false;
    }
  }
  if (config.modules.empty()) {
    error = "no modules given";
    return false;
  }
  return true;
}

const char* ModuleSpecHelp() {
  return "Module keys (key=value, separated by commas or blanks):\n"
         "  serial=XXXXXXXX    serial number, hexadecimal (required)\n"
         "  model=N            model code (default 17)\n"
         "  address=N          module address, even 2..254 (default 2)\n"
         "  router-address=N   answer to the router-address option (default: own address,\n"
         "                     or the router's for a module behind one)\n"
         "  version=A.B.C      firmware version (default 1.0.0)\n"
         "  build=N            firmware build number (default 1)\n"
         "  port=N             TCP port of its link (required unless behind=)\n"
         "  hb=N               heartbeat interval in 100 ms units, 0 = none (default 10)\n"
         "  router=yes         a router with a module network\n"
         "  behind=XXXXXXXX    sits on the network of that router (no port)\n"
         "  reboot-delay=MS    time offline after REBOOT or reset (default 1000)\n"
         "  block-size=N       block size given in PREPARE replies (default 256)\n"
         "  load-base=XXXXXXXX load base given in the INIT reply (default 20000000)\n"
         "  id=W0:W1:W2:W3     chip identifier words of option 39, hexadecimal\n"
         "  next-build=N       build after a reboot when the image holds no information block\n"
         "  reboot-as=XXXXXXXX after a firmware reboot answer with this serial number\n"
         "  answer-absent=yes  as a router: answer a request for an empty network address\n"
         "                     at once with an error reply (default: no answer, so the\n"
         "                     host waits out its time-out)\n"
         "  name=TEXT          module name (byte-array option 32)\n"
         "  slots=S:N:BYTES     S slot stores of N slots of BYTES each (default 2:8:1024)\n"
         "  stream-ms=MS       interval between the samples of a stream (default 20)\n"
         "  arrive=MS          unplugged until MS after the lab starts, then plugged in\n"
         "  cycle=PRESENT:AWAY once plugged in: unplugged after PRESENT ms, back after\n"
         "                     AWAY ms, repeatedly; each return is a fresh module with\n"
         "                     the configured build and version\n"
         "  fault=KIND[:ARG][@N]  fault knob; @N = on the Nth request of its step\n"
         "                     (default 1), @0 = every time. Kinds:\n"
         "    short-data[:BYTES]      DATA accepted only in part (default 6 bytes short)\n"
         "    bad-sum                 SUM reply with a wrong sum\n"
         "    no-load-reply           LOAD starts the loader without a reply\n"
         "    late-load-reply         the LOAD reply comes on the next link\n"
         "    rejoin-after-load       after LOAD the loader drops the link and is away for\n"
         "                            the reboot delay, then takes links again\n"
         "    prepare-status[:S]      PREPARE answered with status S (default 1)\n"
         "    drop:STEP               drop the link when a STEP request arrives\n"
         "    interleave-address[:STEP]  decoy reply from another address first (every time)\n"
         "    interleave-command[:STEP]  decoy reply with another command byte first\n"
         "    garbage[:STEP]          burst of invalid bytes (default at link start)\n"
         "    silent                  accept links, never answer\n"
         "    refuse-link             refuse TCP connections\n"
         "    no-discovery            do not answer discovery\n"
         "    no-reply:STEP           leave a STEP request unanswered\n"
         "    refuse-open             refuse a slot open\n"
         "    slot-bad-sum            answer a slot write with a wrong sum\n"
         "    stream-error[:CODE]     answer a stream command with error CODE (default 29)\n"
         "    sample-length           send every stream sample one byte too long\n"
         "    sample-burst[:COPIES]   send every stream sample COPIES times (default 50)\n"
         "    old-build               after REBOOT boot the old firmware, not the new image\n"
         "    never-back              after REBOOT never come back\n"
         "  Steps: start address system query debug init prepare data sum write load\n"
         "         reboot slot-capacity slot-size slot-open slot-read slot-write\n"
         "         slot-close factory stream sampler any\n";
}

}  // namespace lab
