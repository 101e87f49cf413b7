#include "Parameters.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "AppInfo.h"
#include "Log.h"
#include "OptionParser.h"
#include "server/UpdateServerRequest.h"
#include "UpdaterDirectory.h"

namespace {

enum OptionGroup { GROUP_HELP = 0, GROUP_COMMAND = 1, GROUP_PARAMETER = 2 };

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
      {"-t", GROUP_PARAMETER, OptionArgument::Required}, {"-f", GROUP_PARAMETER, OptionArgument::Required},
      {"-r", GROUP_PARAMETER, OptionArgument::Required}, {"-s", GROUP_PARAMETER, OptionArgument::Required},
      {"-o", GROUP_PARAMETER, OptionArgument::Required}, {"-e", GROUP_PARAMETER, OptionArgument::Required},
      {"-l", GROUP_PARAMETER, OptionArgument::Required}, {"-k", GROUP_PARAMETER, OptionArgument::Required},
      {"-u", GROUP_PARAMETER, OptionArgument::Required}, {"--help", GROUP_HELP, OptionArgument::None},
  };
  return table;
}

// Digits-only conversion shared by the hex and decimal argument readers.
uint32_t ConvertDigits(const char* text, const char** end, const char* digits, int base) {
  if (!end || !text)
    return 0;
  if (strspn(text, digits) != strlen(text))
    return 0;
  char* stop = nullptr;
  errno = 0;
  unsigned long value = strtoul(text, &stop, base);
  // Cutting a longer number to its low 32 bits would name a different device or
  // build, so an out-of-range number is refused like a malformed one.
  if (errno == ERANGE || value > UINT32_MAX)
    return 0;
  *end = stop;
  return static_cast<uint32_t>(value);
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
  const char* end = nullptr;
  serial = cli::_get_hex_arg(argument.c_str(), &end);
  if (serial != 0)
    return 0;
  display.message(UpdaterDisplayInterface::Error, invalidMessage, argument.c_str());
  return 1;
}

int ParseTransport(UpdaterDisplayInterface& display, const std::string& argument, Parameters& parameters) {
  parameters.transportGiven = true;
  if (argument.compare(0, 3, "USB") == 0) {
    parameters.transport = linkTypeUSB;
  } else if (argument.compare(0, 3, "TCP") == 0) {
    parameters.transport = linkTypeTCPIP;
  } else if (argument.compare(0, 7, "RECOVER") == 0) {
    parameters.transport = TRANSPORT_RECOVER;
  } else {
    display.message(UpdaterDisplayInterface::Error,
                    "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER", argument.c_str());
    parameters.transport = linkTypeInvalid;
    return 1;
  }
  return 0;
}

void ParseLogMask(UpdaterDisplayInterface& display, const ParsedOption& option, Parameters& parameters) {
  parameters.showExtendedUsage = true;
  const std::string& argument = option.argument;
  int base = HasHexPrefix(argument) ? 16 : 10;
  char* rest = nullptr;
  parameters.logMask = static_cast<uint32_t>(strtoul(argument.c_str(), &rest, base));
  if (rest && *rest) {
    display.message(UpdaterDisplayInterface::Error, "Invalid format for \"%s\" parameter, unprocessed characters [%s]",
                    option.entry->text, rest);
    return;
  }
  Log::ActivatePackage(parameters.logMask);
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
  const char* end = nullptr;
  switch (option.entry->text[1]) {
    case 'X': ParseLogMask(display, option, parameters); return 0;
    case 'Z': parameters.commands.Set(CMD_Z); return 0;
    case 'b': parameters.build = std::to_string(cli::_get_int_arg(argument.c_str(), &end)); return 0;
    case 'd':
      return ParseSerial(display, argument, parameters.serialNumber, "Discarding '0x' serial number prefix\n",
                         "Invalid serial number obtained from argument [%s]");
    case 'r':
      return ParseSerial(display, argument, parameters.routerSerialNumber,
                         "Discarding '0x' router serial number prefix\n",
                         "Invalid router serial number obtained from argument [%s]");
    case 't': return ParseTransport(display, argument, parameters);
    case 'o': parameters.baudRate = static_cast<int32_t>(cli::_get_int_arg(argument.c_str(), &end)); return 0;
    case 'e': parameters.echo = true; return 0;
    case 'n': parameters.nFlag = true; return 0;
    case 'f': parameters.birdFile = argument; return 0;
    case 's': parameters.serialPort = argument; return 0;
    case 'l': parameters.logMessage = argument; return 0;
    case 'k':
      parameters.logFile = argument;
      parameters.logFileGiven = true;
      return 0;
    case 'u': parameters.serverUrl = argument; return 0;
    default: return 0;
  }
}

void LogArguments(const Parameters& parameters, int argc, const char* const* argv) {
  Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", parameters.applicationName.c_str());
  for (int i = 0; i < argc; i++)
    Log::log(DEBUG_APP, "\t[%s]\n", argv[i] ? argv[i] : "");
}

}  // namespace

uint32_t cli::_get_hex_arg(const char* text, const char** end) {
  return ConvertDigits(text, end, "0123456789ABCDEFabcdef", 16);
}

uint32_t cli::_get_int_arg(const char* text, const char** end) { return ConvertDigits(text, end, "0123456789", 10); }

int cli::_get_params(UpdaterDisplayInterface& display, int argc, const char* const* argv, Parameters& parameters) {
  parameters = Parameters();
  parameters.serverUrl = UpdateServerRequest::default_url;
  parameters.applicationName = ApplicationName(argc > 0 ? argv[0] : nullptr);
  ReadHomeDirectory(parameters.homeDirectory);
  Log::log(DEBUG_APP, "Home directory:[%s]\n", parameters.homeDirectory.c_str());

  int result = 0;
  OptionParser parser(OptionTable(), argc, argv);
  ParsedOption option;
  while (parser.Next(option)) {
    switch (option.entry->group) {
      case GROUP_HELP:
        parameters.commands.Set(CMD_HELP);
        parameters.helpRequested = true;
        return 0;
      case GROUP_COMMAND:
        if (HandleCommand(display, option, parameters) != 0)
          result = 1;
        break;
      default:
        if (HandleParameter(display, option, parameters) != 0)
          result = 1;
        break;
    }
  }
  LogArguments(parameters, argc, argv);
  if (result == 0)
    result = cli::_validate_params(parameters);
  return result;
}

int cli::_validate_params(Parameters&) { return 0; }

int cli::_release_params(Parameters&) { return 0; }
