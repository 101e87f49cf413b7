// What a lab process serves: its simulated modules and their fault knobs,
// read from the command line or a small config file.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Numbers.h"
#include "Options.h"

namespace lab {

enum class FaultKind {
  ShortData,          // a DATA chunk is accepted only in part (and not kept)
  BadSum,             // a SUM reply carries a wrong sum
  NoLoadReply,        // LOAD starts the loader but sends no reply
  LateLoadReply,      // the LOAD reply comes only on the next link
  RejoinAfterLoad,    // the started loader leaves the link and rejoins after the reboot delay
  PrepareStatus,      // PREPARE is answered with a non-zero status
  Drop,               // the link is dropped when a request of a given step arrives
  InterleaveAddress,  // each reply is preceded by a copy from another module address
  InterleaveCommand,  // each reply is preceded by one with another command byte
  Garbage,            // a burst of bytes that are no valid frame
  Silent,             // links are accepted but nothing is ever answered
  RefuseLink,         // no TCP listener: connections are refused
  NoDiscovery,        // discovery requests are not answered
  NoReply,            // a request of the given step goes unanswered
  RefuseOpen,         // a slot open is refused
  SlotBadSum,         // a slot write reply carries a wrong sum
  StreamError,        // a stream command gets an error reply
  SampleLength,       // every stream sample is one byte too long
  SampleBurst,        // every sample is sent N times back to back
  OldBuild,           // after REBOOT the module boots its old firmware, ignoring the new image
  NeverBack,          // after REBOOT the module never comes back
};

struct FaultSpec {
  FaultKind kind = FaultKind::Silent;
  std::string step;   // request step it applies to; "any" for every request
  uint32_t value = 0; // PREPARE status or bytes refused of a DATA chunk
  unsigned nth = 1;   // fires on the nth request of its step; 0 = every time
};

struct ModuleConfig {
  uint32_t serial = 0;
  uint8_t model = 17;
  uint8_t address = 2;
  uint8_t routerAddress = 0;  // 0: the module's own address, or its router's
  uint32_t version = 0x10000000;
  uint32_t build = 1;
  uint16_t port = 0;
  uint8_t heartbeat = 10;     // heartbeat interval in units of 100 ms; 0 = none
  bool router = false;
  uint32_t behind = 0;        // serial number of the router whose network holds it
  uint32_t rebootDelayMs = 1000;
  uint16_t blockSize = 256;
  uint32_t loadBase = 0x20000000;
  uint32_t identifier[4] = {0, 0, 0, 0};
  bool identifierSet = false;
  uint32_t nextBuild = 0;     // build after a reboot when the image names none
  uint32_t rebootAs = 0;      // serial number after a firmware reboot (a replaced board); 0 = its own
  bool answerAbsent = false;  // router: error reply for a network address nobody holds
  std::string name;
  uint8_t stores = 2;            // slot stores 0.. and slots 0.. in each
  uint8_t slots = 8;
  uint16_t slotCapacity = 1024;
  uint32_t streamIntervalMs = 20;
  // Unplugged until this long after the lab starts (0: present from the start).
  uint32_t arriveMs = 0;
  // Once present: unplugged after presentMs, back after awayMs, again and again, each
  // time a fresh module with the configured build (0: stays).
  uint32_t presentMs = 0;
  uint32_t awayMs = 0;
  std::vector<FaultSpec> faults;

  bool has(FaultKind kind) const;
};

struct LabConfig {
  std::vector<ModuleConfig> modules;
  std::string dumpDir;
  bool verbose = false;
};

// One module from "key=value" words separated by commas or blanks.
bool ParseModuleSpec(const std::string& text, ModuleConfig& module, std::string& error);
// A fault word "KIND[:ARG][@N]".
bool ParseFaultSpec(const std::string& text, FaultSpec& fault, std::string& error);
// Calls `take` with the module words of every line of a config file: one module per
// line ("module" may precede the words), '#' starts a comment. An error of
// `take` gets the file and line in front.
using SpecTaker = std::function<bool(const std::string& spec, std::string& error)>;
bool ForEachSpecLine(const std::string& path, const SpecTaker& take, std::string& error);
// A config file of modules.
bool ParseConfigFile(const std::string& path, LabConfig& config, std::string& error);
// The options of `updater-lab modules`, read into `config`: --module SPEC,
// --config FILE, --dump-dir DIR, --verbose.
std::vector<Option> ModulesOptionTable(LabConfig& config);
// Those options (without the subcommand), validated as a whole. Tests use it
// to set up an in-process lab the same way as the program.
bool ParseLabArguments(const std::vector<std::string>& args, LabConfig& config, std::string& error);
// Cross-module checks: unique serials and ports, valid router networks.
bool ValidateConfig(const LabConfig& config, std::string& error);

const char* FaultKindName(FaultKind kind);
// Module-config keys and fault words, for the usage text.
const char* ModuleSpecHelp();

}  // namespace lab
