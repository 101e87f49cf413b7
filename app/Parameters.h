// The parsed command line of one run.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"
#include "aLinkSpec.h"

enum COMMANDS : uint32_t {
  CMD_DISCOVER = 0x00000001,
  CMD_UPDATE = 0x00000002,
  CMD_BUILDS = 0x00000004,
  CMD_GET = 0x00000008,
  CMD_INFO = 0x00000010,
  CMD_CHECK = 0x00000020,
  CMD_FINGERPRINT = 0x00000040,
  CMD_Z = 0x00000080,
  CMD_HELP = 0x80000000,
};

// Any of these bits makes the command line one with a command.
const uint32_t CMD_ANY_COMMAND = 0x000305FF;

// The transport value that selects boot-ROM recovery instead of a module link.
const uint32_t TRANSPORT_RECOVER = 255;

class CommandsClass {
public:
  void Set(COMMANDS command) { bits |= command; }
  // True when any bit of `mask` is set, so it tests masks as well as single commands.
  bool IsSet(uint32_t mask) const { return (bits & mask) != 0; }
  uint32_t Bits() const { return bits; }

private:
  uint32_t bits = 0;
};

struct Parameters {
  CommandsClass commands;
  uint32_t serialNumber = 0;  // the first -d
  // Every module -d names, in order and without repeats; `allModules` for -d all.
  std::vector<uint32_t> serialNumbers;
  bool allModules = false;
  uint32_t parallel = 8;  // -j: modules updated at the same time
  uint32_t routerSerialNumber = 0;
  uint32_t transport = linkTypeUSB;
  bool transportGiven = false;
  std::string serialPort;
  int32_t baudRate = 115200;
  uint8_t moduleAddress = 0;  // -m: the module behind the router of -r
  std::string birdFile;
  std::string logMessage;
  std::string build;
  bool echo = false;
  std::string serverUrl;
  bool nFlag = false;
  std::string applicationName;
  std::string homeDirectory;
  std::string logMode = "a+";
  std::string logFile = "Updater.log";
  uint32_t logMask = 0;
  bool override = false;
  bool showExtendedUsage = true;
  bool helpRequested = false;
  // -V, --version: print the version and end.
  bool versionRequested = false;
  // Set by -k: only an explicit file takes the debug log away from stderr.
  bool logFileGiven = false;
  // --json: one JSON document on stdout; every message goes to stderr.
  bool json = false;
  // -q: errors and the result only. -v: the link and transfer steps too.
  bool quiet = false;
  bool verbose = false;
  // -U --watch: a station that updates every module as it arrives, until a signal.
  bool watch = false;
  // --force: a module already running the wanted build is written all the same.
  bool force = false;
  // --dry-run: -U shows what it would write, and writes nothing.
  bool dryRun = false;
  // The -d words as given, upper case and without "0x": --watch takes them as serial-number prefixes.
  std::vector<std::string> serialWords;

  // -U for several modules: -d all, or more than one serial number.
  bool IsFleet() const { return allModules || serialNumbers.size() > 1; }
};

// The front end's own helpers: their names begin with an underscore, so they
// live in a namespace (such names are reserved at global scope).
namespace cli {

// Fills `parameters` from the command line; 0 on success, 1 on a reported error.
int _get_params(UpdaterDisplayInterface& display, int argc, const char* const* argv, Parameters& parameters);
// Refuses combinations that would silently drop a command; 0 when none.
int _validate_params(UpdaterDisplayInterface& display, Parameters& parameters);

}  // namespace cli
