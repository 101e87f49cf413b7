// Entry point: parse, print the banner or usage, ensure the store, run the commands.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "CLI_Display.h"
#include "Commands.h"
#include "Interrupt.h"
#include "JsonOutput.h"
#include "Log.h"
#include "LogFile.h"
#include "Parameters.h"
#include "RunRecord.h"
#include "UpdaterDirectory.h"
#include "Usage.h"
#include "UserNotice.h"
#include "update/ErrorRecordingDisplay.h"
#include "aTime.h"

namespace {

// The command the run's result describes: the main one, or -G or -N alone.
const char* MainCommand(const Parameters& parameters) {
  if (parameters.commands.IsSet(CMD_DISCOVER))
    return "discover";
  if (parameters.commands.IsSet(CMD_UPDATE))
    return "update";
  if (parameters.commands.IsSet(CMD_BUILDS))
    return "builds";
  if (parameters.commands.IsSet(CMD_GET))
    return "get";
  if (parameters.commands.IsSet(CMD_CHECK))
    return "check";
  if (parameters.commands.IsSet(CMD_FINGERPRINT))
    return "fingerprint";
  if (parameters.commands.IsSet(CMD_INFO))
    return "info";
  return "none";
}

// With --json, the one document on stdout; `command` is "none" when the run
// stopped before any command. `member` (help, version) adds that text. Returns
// `exitCode`, or 1 when the document could not be written: a reader of the
// result must never take a lost result for a good one.
int Finish(const Parameters& parameters, const RunRecord& record, const char* command, int exitCode, uint64_t startUS,
           const char* member = nullptr, const std::string& text = std::string()) {
  // A station's JSON lines and a plan's document are written by their commands,
  // when they ran: a check or a download that refused before them still
  // answers with this document (on one line in a station's stream).
  if (!parameters.json || record.ownJson)
    return exitCode;
  JsonOutput::RunEnd end;
  end.command = command;
  end.exitCode = exitCode;
  end.seconds = static_cast<double>(aTime_GetMonotonicUS() - startUS) / 1e6;
  JsonOutput::Json document = JsonOutput::Document(record, end);
  if (member)
    document[member] = text;
  std::string problem;
  if (JsonOutput::Print(stdout, document, &problem, parameters.watch))
    return exitCode;
  fprintf(stderr, "Could not write the result to the standard output: %s\n", problem.c_str());
  return 1;
}

// --json is looked for before anything else is read, so that a line refused
// at an earlier word, help and the version still answer with a document.
bool AsksForJson(int argc, char** argv) {
  for (int i = 1; i < argc; i++)
    if (argv[i] && std::strcmp(argv[i], "--json") == 0)
      return true;
  return false;
}

// The usage text as -h prints it, for the document's "help" member.
std::string UsageText(const Parameters& parameters) {
  char* buffer = nullptr;
  size_t length = 0;
  FILE* text = open_memstream(&buffer, &length);
  if (!text)
    return std::string();
  cli::_display_usage(parameters.showExtendedUsage, parameters.helpRequested, text);
  fclose(text);
  std::string usage(buffer ? buffer : "", length);
  free(buffer);
  return usage;
}

// Commands that read nothing from the store and write nothing into it: they
// run when the store cannot be made.
bool NeedsStore(const Parameters& parameters) {
  const uint32_t storeFree = CMD_DISCOVER | CMD_BUILDS | CMD_CHECK;
  for (uint32_t bit = 1; bit != 0 && bit <= CMD_ANY_COMMAND; bit <<= 1)
    if ((CMD_ANY_COMMAND & bit) && parameters.commands.IsSet(static_cast<COMMANDS>(bit)) && !(storeFree & bit))
      return true;
  return false;
}

// The updater directory; empty, with the reason said and kept, when a command needs
// it and it cannot be made.
std::string EnsureStore(const Parameters& parameters, UpdaterDisplayInterface& display, RunRecord& record,
                        bool& failed) {
  std::string directory = cli::_build_updater_directory();
  bool ensured = !directory.empty() && EnsureUpdaterDirectory(directory);
  failed = false;
  if (!ensured && !NeedsStore(parameters)) {
    Log::log(DEBUG_Updater, "No updater directory at [%s]; this command needs none.\n", directory.c_str());
  } else if (!ensured) {
    if (directory.empty())
      display.message(UpdaterDisplayInterface::Error, "Could not determine the home directory of this user");
    record.refusal = {aErrIO, "Could not find updater directory at " + directory};
    display.message(UpdaterDisplayInterface::Error, "%s", record.refusal.text.c_str());
    failed = true;
  }
  return directory;
}

// Parses the command line; a refusal's line is kept for the document.
int ParseCommandLine(UpdaterDisplayInterface& display, int argc, char** argv, Parameters& parameters,
                     RunRecord& record) {
  ErrorRecordingDisplay refusals(display);
  int parsed = cli::_get_params(refusals, argc, argv, parameters);
  record.refusal.text = refusals.LastError();
  if (parsed != 0)
    record.refusal.code = aErrParam;  // a command line the updater cannot take
  return parsed;
}

// Help, the version, or usage when no command was given; -1 when the run goes on to its commands.
int AnswerWithoutCommands(const Parameters& parameters, CLI_Display& display, bool json, uint64_t startUS) {
  if (parameters.versionRequested) {
    if (json)
      return Finish(parameters, RunRecord(), "none", 0, startUS, "version", JsonOutput::ProgramVersion());
    cli::_display_program_version(display);
    return 0;
  }
  if (!parameters.commands.IsSet(CMD_HELP) && parameters.commands.IsSet(CMD_ANY_COMMAND))
    return -1;
  cli::_display_app_version(display);
  cli::_display_copyright(display);
  cli::_display_kl_version(display);
  if (json)
    return Finish(parameters, RunRecord(), "none", 0, startUS, "help", UsageText(parameters));
  // Help that was asked for is the run's output (a pager finds it there);
  // the short usage of a run without a command stays beside the messages.
  cli::_display_usage(parameters.showExtendedUsage, parameters.helpRequested,
                      parameters.helpRequested ? stdout : stderr);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t startUS = aTime_GetMonotonicUS();
  // From the start, so a signal during any command is seen between its steps.
  Interrupt::Install();
  Parameters parameters;
  CLI_Display display;
  RunRecord record;
  Log::SetOutput(stderr);
  // The link core's few user lines (a device it may not open) go to the same display.
  UserNotice::Route noticeRoute(&display);

  bool json = AsksForJson(argc, argv);
  if (json)
    display.keep_output_free();
  int parsed = ParseCommandLine(display, argc, argv, parameters, record);
  parameters.json = json;
  // The banner is for a person at a terminal; a pipe or -q gets on stdout only
  // what was asked for. Help and the version asked for are all output.
  const bool asked = parsed == 0 && (parameters.commands.IsSet(CMD_HELP) || parameters.versionRequested);
  display.set_quiet(parameters.quiet && !asked);
  display.set_verbose(parameters.verbose);
  display.set_aside(!asked && (parameters.quiet || !display.output_is_terminal()));
  if (parsed != 0) {
    cli::_display_app_version(display);
    cli::_display_copyright(display);
    cli::_display_usage(false, false);
    return Finish(parameters, record, "none", 1, startUS);
  }
  std::unique_ptr<LogFile> logFile;
  if (parameters.logFileGiven && !parameters.versionRequested)
    logFile.reset(new LogFile(parameters.logFile, parameters.logMode, display));
  int answered = AnswerWithoutCommands(parameters, display, json, startUS);
  if (answered >= 0)
    return answered;
  cli::_display_app_version(display);
  display.set_aside(false);
  bool failed = false;
  std::string directory = EnsureStore(parameters, display, record, failed);
  if (failed)
    return Finish(parameters, record, "none", 1, startUS);
  Updater updater(parameters.serverUrl.c_str(), directory.c_str(), display);
  int result = RunCommands(parameters, updater, display, record);
  if (Interrupt::Requested() != 0)
    display.end_open_line();
  return Finish(parameters, record, MainCommand(parameters), result, startUS);
}
