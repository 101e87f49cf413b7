#include "Parameters.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "AppInfo.h"
#include "Log.h"
#include "OptionParser.h"
#include "server/UpdateServerRequest.h"
#include "UpdaterDirectory.h"
#include "aNumber.h"

namespace {

enum OptionGroup { GROUP_HELP = 0, GROUP_COMMAND = 1, GROUP_PARAMETER = 2, GROUP_VERSION = 3 };

const std::vector<OptionEntry>& OptionTable() {
  static const std::vector<OptionEntry> table = {
      {"-B", GROUP_COMMAND, OptionArgument::None},      {"-D", GROUP_COMMAND, OptionArgument::None},
      {"-G", GROUP_COMMAND, OptionArgument::None},      {"-I", GROUP_COMMAND, OptionArgument::None},
      {"-U", GROUP_COMMAND, OptionArgument::None},      {"-OVERRIDE", GROUP_COMMAND, OptionArgument::None},
      {"-N", GROUP_COMMAND, OptionArgument::None},      {"-Y", GROUP_COMMAND, OptionArgument::None},
      {"-C", GROUP_COMMAND, OptionArgument::None},      {"-h", GROUP_HELP, OptionArgument::None},
      {"-H", GROUP_HELP, OptionArgument::None},         {"-n", GROUP_PARAMETER, OptionArgument::None},
      {"-X", GROUP_PARAMETER, OptionArgument::Required}, {"-Z", GROUP_PARAMETER, OptionArgument::Required},
      {"-b", GROUP_PARAMETER, OptionArgument::Required}, {"-d", GROUP_PARAMETER, OptionArgument::Required},
      {"-j", GROUP_PARAMETER, OptionArgument::Required},
      {"-t", GROUP_PARAMETER, OptionArgument::Required}, {"-f", GROUP_PARAMETER, OptionArgument::Required},
      {"-r", GROUP_PARAMETER, OptionArgument::Required}, {"-s", GROUP_PARAMETER, OptionArgument::Required},
      {"-o", GROUP_PARAMETER, OptionArgument::Required}, {"-e", GROUP_PARAMETER, OptionArgument::Required},
      {"-l", GROUP_PARAMETER, OptionArgument::Required}, {"-k", GROUP_PARAMETER, OptionArgument::Required},
      {"-u", GROUP_PARAMETER, OptionArgument::Required}, {"-m", GROUP_PARAMETER, OptionArgument::Required},
      {"--help", GROUP_HELP, OptionArgument::None},
      {"-V", GROUP_VERSION, OptionArgument::None},      {"--version", GROUP_VERSION, OptionArgument::None},
      {"--json", GROUP_PARAMETER, OptionArgument::None},
      {"-q", GROUP_PARAMETER, OptionArgument::None},    {"-v", GROUP_PARAMETER, OptionArgument::None},
      {"--watch", GROUP_PARAMETER, OptionArgument::None},
      {"--force", GROUP_PARAMETER, OptionArgument::None},
      {"--dry-run", GROUP_PARAMETER, OptionArgument::None},
  };
  return table;
}

const UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::Error;

// The line rates the serial port code can set.
const int32_t kBaudRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

int RefuseValue(UpdaterDisplayInterface& display, const ParsedOption& option) {
  display.message(kError, "Invalid value for option [%s]: [%s]", option.entry->text, option.argument.c_str());
  return 1;
}

std::string ApplicationName(const char* argv0) {
  std::string name = argv0 ? argv0 : "";
  size_t slash = name.find_last_of("/\\");
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

bool HasHexPrefix(const std::string& text) { return text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'); }

// -d and -r: optional "0x" prefix, then hexadecimal digits; 0 is not a serial number.
int ParseSerial(UpdaterDisplayInterface& display, std::string argument, uint32_t& serial, const char* prefixLog,
                const char* invalidMessage) {
  if (HasHexPrefix(argument)) {
    Log::log(DEBUG_Updater, "%s", prefixLog);
    argument.erase(0, 2);
  }
  serial = 0;
  aNumber_ParseU32(argument.c_str(), 16, &serial);
  if (serial != 0)
    return 0;
  display.message(UpdaterDisplayInterface::Error, invalidMessage, argument.c_str());
  return 1;
}

bool SameWord(const std::string& word, const char* name) { return strcasecmp(word.c_str(), name) == 0; }

// A -d word as the serial numbers are shown: upper case, without "0x".
std::string SerialWord(std::string word) {
  if (HasHexPrefix(word))
    word.erase(0, 2);
  for (char& c : word)
    c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return word;
}

// The station's switches; false when `option` is none of them.
bool StationSwitch(const ParsedOption& option, Parameters& parameters) {
  bool* target = nullptr;
  if (strcmp(option.entry->text, "--watch") == 0)
    target = &parameters.watch;
  else if (strcmp(option.entry->text, "--force") == 0)
    target = &parameters.force;
  else if (strcmp(option.entry->text, "--dry-run") == 0)
    target = &parameters.dryRun;
  if (target != nullptr)
    *target = true;
  return target != nullptr;
}

// -d: one serial number, several separated by commas (or -d repeated), or "all".
int ParseSerialList(UpdaterDisplayInterface& display, const std::string& argument, Parameters& parameters) {
  if (SameWord(argument, "all")) {
    parameters.allModules = true;
    return 0;
  }
  size_t begin = 0;
  do {
    size_t comma = argument.find(',', begin);
    std::string word = argument.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin);
    uint32_t serial = 0;
    if (ParseSerial(display, word, serial, "Discarding '0x' serial number prefix\n",
                    "Invalid serial number obtained from argument [%s]") != 0)
      return 1;
    parameters.serialWords.push_back(SerialWord(word));
    if (parameters.serialNumbers.empty())
      parameters.serialNumber = serial;
    if (std::find(parameters.serialNumbers.begin(), parameters.serialNumbers.end(), serial) ==
        parameters.serialNumbers.end())
      parameters.serialNumbers.push_back(serial);
    begin = comma == std::string::npos ? comma : comma + 1;
  } while (begin != std::string::npos);
  return 0;
}

const uint32_t kMaxParallel = 64;

int ParseParallel(UpdaterDisplayInterface& display, const ParsedOption& option, Parameters& parameters) {
  uint32_t count = 0;
  if (aNumber_ParseU32(option.argument.c_str(), 10, &count) != aErrNone || count == 0 || count > kMaxParallel)
    return RefuseValue(display, option);
  parameters.parallel = count;
  return 0;
}

int ParseTransport(UpdaterDisplayInterface& display, const std::string& argument, Parameters& parameters) {
  parameters.transportGiven = true;
  // The whole word, in any case: "USBX" is a typing error, not USB.
  if (SameWord(argument, "USB")) {
    parameters.transport = linkTypeUSB;
  } else if (SameWord(argument, "TCP") || SameWord(argument, "TCPIP")) {
    parameters.transport = linkTypeTCPIP;
  } else if (SameWord(argument, "RECOVER")) {
    parameters.transport = TRANSPORT_RECOVER;
  } else {
    display.message(kError, "Invalid transport type:[%s]; must be one of the following: USB, TCPIP, RECOVER",
                    argument.c_str());
    parameters.transport = linkTypeInvalid;
    return 1;
  }
  return 0;
}

int ParseBaudRate(UpdaterDisplayInterface& display, const ParsedOption& option, Parameters& parameters) {
  uint32_t rate = 0;
  if (aNumber_ParseU32(option.argument.c_str(), 10, &rate) == aErrNone) {
    for (int32_t supported : kBaudRates) {
      if (static_cast<uint32_t>(supported) == rate) {
        parameters.baudRate = supported;
        return 0;
      }
    }
  }
  display.message(kError, "Invalid value for option [%s]: [%s] (2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400)",
                  option.entry->text, option.argument.c_str());
  return 1;
}

// -m: a module address on a router's network, in the form -D -r lists it: hexadecimal
// ("0A", "0x0A" too); only even addresses other than 0 can be sent to.
int ParseModuleAddress(UpdaterDisplayInterface& display, const std::string& argument, Parameters& parameters) {
  uint32_t address = 0;
  const size_t skip = HasHexPrefix(argument) ? 2 : 0;
  if (argument.size() > skip && argument.size() - skip <= 2 &&
      aNumber_ParseU32(argument.c_str() + skip, 16, &address) == aErrNone && address != 0 && address % 2 == 0) {
    parameters.moduleAddress = static_cast<uint8_t>(address);
    return 0;
  }
  display.message(kError,
                  "Invalid module address obtained from argument [%s]: hexadecimal as -D -r lists it, even, "
                  "from 02 to FE",
                  argument.c_str());
  return 1;
}

int ParseBuild(UpdaterDisplayInterface& display, const ParsedOption& option, Parameters& parameters) {
  uint32_t build = 0;
  if (aNumber_ParseU32(option.argument.c_str(), 10, &build) != aErrNone)
    return RefuseValue(display, option);
  parameters.build = std::to_string(build);
  return 0;
}

// -f, -s, -l, -k, -u: an empty word would silently fall back to a default.
int ParseWord(UpdaterDisplayInterface& display, const ParsedOption& option, std::string& target) {
  if (option.argument.empty())
    return RefuseValue(display, option);
  target = option.argument;
  return 0;
}

int ParseLogMask(UpdaterDisplayInterface& display, const ParsedOption& option, Parameters& parameters) {
  parameters.showExtendedUsage = true;
  std::string digits = option.argument;
  int base = 10;
  if (HasHexPrefix(digits)) {
    digits.erase(0, 2);
    base = 16;
  }
  uint32_t mask = 0;
  if (aNumber_ParseU32(digits.c_str(), base, &mask) == aErrNone) {
    parameters.logMask = mask;
    Log::ActivatePackage(mask);
    return 0;
  }
  size_t good = strspn(digits.c_str(), base == 16 ? "0123456789ABCDEFabcdef" : "0123456789");
  if (good == 0 || good == digits.size())
    return RefuseValue(display, option);
  display.message(kError, "Invalid format for \"%s\" parameter, unprocessed characters [%s]", option.entry->text,
                  digits.c_str() + good);
  return 1;
}

int HandleCommand(UpdaterDisplayInterface& display, const ParsedOption& option, Parameters& parameters) {
  switch (option.entry->text[1]) {
    case 'B': parameters.commands.Set(CMD_BUILDS); return 0;
    case 'C': parameters.commands.Set(CMD_CHECK); return 0;
    case 'D': parameters.commands.Set(CMD_DISCOVER); return 0;
    case 'G': parameters.commands.Set(CMD_GET); return 0;
    case 'I': parameters.commands.Set(CMD_INFO); return 0;
    case 'N': parameters.commands.Set(CMD_FINGERPRINT); return 0;
    case 'U': parameters.commands.Set(CMD_UPDATE); return 0;
    case 'O': parameters.override = true; return 0;
    default:
      display.message(UpdaterDisplayInterface::Error, "Unhandled command: [%s]", option.entry->text);
      return 1;
  }
}

int HandleParameter(UpdaterDisplayInterface& display, const ParsedOption& option, Parameters& parameters) {
  const std::string& argument = option.argument;
  if (strcmp(option.entry->text, "--json") == 0) {
    parameters.json = true;
    return 0;
  }
  if (StationSwitch(option, parameters))
    return 0;
  switch (option.entry->text[1]) {
    case 'X': return ParseLogMask(display, option, parameters);
    case 'Z': parameters.commands.Set(CMD_Z); return 0;
    case 'b': return ParseBuild(display, option, parameters);
    case 'd': return ParseSerialList(display, argument, parameters);
    case 'j': return ParseParallel(display, option, parameters);
    case 'r':
      return ParseSerial(display, argument, parameters.routerSerialNumber,
                         "Discarding '0x' router serial number prefix\n",
                         "Invalid router serial number obtained from argument [%s]");
    case 't': return ParseTransport(display, argument, parameters);
    case 'm': return ParseModuleAddress(display, argument, parameters);
    case 'o': return ParseBaudRate(display, option, parameters);
    case 'q': parameters.quiet = true; return 0;
    case 'v':
      parameters.verbose = true;
      // The link's own steps in words: found, lost, reconnected.
      Log::ActivatePackage(DEBUG_Network);
      return 0;
    case 'e': parameters.echo = true; return 0;
    case 'n': parameters.nFlag = true; return 0;
    case 'f': return ParseWord(display, option, parameters.birdFile);
    case 's': return ParseWord(display, option, parameters.serialPort);
    case 'l': return ParseWord(display, option, parameters.logMessage);
    case 'k':
      parameters.logFileGiven = true;
      return ParseWord(display, option, parameters.logFile);
    case 'u': return ParseWord(display, option, parameters.serverUrl);
    default: return 0;
  }
}

// One line naming the option and the word that could not be placed.
void ReportParseError(UpdaterDisplayInterface& display, const ParsedOption& option) {
  const char* word = option.word.c_str();
  switch (option.error) {
    case OptionError::Unknown: display.message(kError, "Unknown option [%s]", word); break;
    case OptionError::Ambiguous: display.message(kError, "Ambiguous option [%s]", word); break;
    case OptionError::MissingValue: display.message(kError, "Missing value for option [%s]", option.entry->text); break;
    case OptionError::UnexpectedValue:
      display.message(kError, "Option [%s] takes no value: [%s]", option.entry->text, word);
      break;
    case OptionError::StrayWord: display.message(kError, "Unexpected argument [%s]", word); break;
    case OptionError::None: break;
  }
}

void LogArguments(const Parameters& parameters, int argc, const char* const* argv) {
  Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", parameters.applicationName.c_str());
  for (int i = 0; i < argc; i++)
    Log::log(DEBUG_APP, "\t[%s]\n", argv[i] ? argv[i] : "");
}

// Several modules are for -U (with its -G); -d all needs the transport to search.
int ValidateFleet(UpdaterDisplayInterface& display, const Parameters& parameters) {
  if (!parameters.IsFleet())
    return 0;
  if (parameters.allModules && !parameters.serialNumbers.empty()) {
    display.message(kError, "-d all cannot be given with serial numbers");
    return 1;
  }
  if (!parameters.commands.IsSet(CMD_UPDATE) || parameters.transport == TRANSPORT_RECOVER) {
    display.message(kError, "Several modules (-d) can only be updated together (-U)");
    return 1;
  }
  // Behind a router -d all means the router's network, which needs no transport; a station
  // watches both transports unless told one.
  if (parameters.allModules && !parameters.transportGiven && parameters.routerSerialNumber == 0 &&
      !parameters.watch) {
    display.message(kError, "-d all needs the transport to search: -t USB or -t TCPIP");
    return 1;
  }
  if (parameters.moduleAddress != 0) {
    display.message(kError, "-m is the address of one module: give it with one -d (with -r, several modules are "
                            "found on the router's network)");
    return 1;
  }
  return 0;
}

// --watch, --dry-run and --force are ways of running -U over the module link.
int ValidateStation(UpdaterDisplayInterface& display, const Parameters& parameters) {
  const bool update = parameters.commands.IsSet(CMD_UPDATE) && parameters.transport != TRANSPORT_RECOVER;
  const char* option = parameters.watch ? "--watch" : parameters.dryRun ? "--dry-run" : parameters.force ? "--force" : nullptr;
  if (option != nullptr && !update) {
    display.message(kError, "Option [%s] needs -U (not -t RECOVER)", option);
    return 1;
  }
  if (parameters.watch && parameters.dryRun) {
    display.message(kError, "Options [--watch] and [--dry-run] cannot be given together");
    return 1;
  }
  if (parameters.watch && parameters.routerSerialNumber != 0) {
    display.message(kError, "Option [--watch] takes modules attached over USB or TCP/IP, not behind a router (-r)");
    return 1;
  }
  return 0;
}

}  // namespace

int cli::_get_params(UpdaterDisplayInterface& display, int argc, const char* const* argv, Parameters& parameters) {
  parameters = Parameters();
  parameters.serverUrl = UpdateServerRequest::default_url;
  parameters.applicationName = ApplicationName(argc > 0 ? argv[0] : nullptr);
  ReadHomeDirectory(parameters.homeDirectory);
  Log::log(DEBUG_APP, "Home directory:[%s]\n", parameters.homeDirectory.c_str());

  int result = 0;
  OptionParser parser(OptionTable(), argc, argv);
  ParsedOption option;
  // The first word that cannot be placed ends the parse: everything after it
  // may have been meant differently.
  while (result == 0 && parser.Next(option)) {
    if (option.error != OptionError::None) {
      ReportParseError(display, option);
      result = 1;
      break;
    }
    switch (option.entry->group) {
      case GROUP_HELP:
        parameters.commands.Set(CMD_HELP);
        parameters.helpRequested = true;
        return 0;
      case GROUP_VERSION:
        parameters.versionRequested = true;
        return 0;
      case GROUP_COMMAND: result = HandleCommand(display, option, parameters); break;
      default: result = HandleParameter(display, option, parameters); break;
    }
  }
  LogArguments(parameters, argc, argv);
  if (result == 0)
    result = cli::_validate_params(display, parameters);
  return result;
}

int cli::_validate_params(UpdaterDisplayInterface& display, Parameters& parameters) {
  // Only one of these runs; naming two would silently drop the other.
  const struct {
    COMMANDS command;
    const char* option;
  } exclusive[] = {{CMD_DISCOVER, "-D"}, {CMD_UPDATE, "-U"}, {CMD_BUILDS, "-B"}};
  const char* first = nullptr;
  for (const auto& candidate : exclusive) {
    if (!parameters.commands.IsSet(candidate.command))
      continue;
    if (first) {
      display.message(kError, "Options [%s] and [%s] cannot be given together", first, candidate.option);
      return 1;
    }
    first = candidate.option;
  }
  if (parameters.quiet && parameters.verbose) {
    display.message(kError, "Options [%s] and [%s] cannot be given together", "-q", "-v");
    return 1;
  }
  // The document describes these commands; with none of them there would be nothing to read.
  if (parameters.json && first == nullptr && !parameters.commands.IsSet(CMD_GET) &&
      !parameters.commands.IsSet(CMD_FINGERPRINT) && !parameters.commands.IsSet(CMD_INFO) &&
      !parameters.commands.IsSet(CMD_CHECK)) {
    display.message(kError, "Option [--json] needs one of -D, -B, -G, -N, -U, -C, -I");
    return 1;
  }
  if (ValidateStation(display, parameters) != 0)
    return 1;
  return ValidateFleet(display, parameters);
}
