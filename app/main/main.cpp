// Entry point: parse, print the banner or usage, ensure the store, run the commands.
#include <memory>
#include <string>

#include "CLI_Display.h"
#include "Commands.h"
#include "ErrorRecorder.h"
#include "Interrupt.h"
#include "JsonOutput.h"
#include "Log.h"
#include "LogFile.h"
#include "Parameters.h"
#include "RecordingUpdater.h"
#include "RunRecord.h"
#include "UpdaterDirectory.h"
#include "Usage.h"
#include "UserNotice.h"
#include "aTime.h"

namespace {

// The command the run's result describes: the main one, or -G alone.
const char* MainCommand(const Parameters& parameters) {
  if (parameters.commands.IsSet(CMD_DISCOVER))
    return "discover";
  if (parameters.commands.IsSet(CMD_UPDATE))
    return "update";
  if (parameters.commands.IsSet(CMD_BUILDS))
    return "builds";
  if (parameters.commands.IsSet(CMD_GET))
    return "get";
  return "none";
}

// With --json, the one document on stdout; `command` is "none" when the run
// stopped before any command. Returns `exitCode`.
int Finish(const Parameters& parameters, const RunRecord& record, const ErrorRecorder& recorder, const char* command,
           int exitCode, uint64_t startUS) {
  // A station's JSON lines and a plan's document are written by their commands.
  const bool written = (parameters.watch || parameters.dryRun) && std::string(command) != "none";
  if (!parameters.json || written)
    return exitCode;
  JsonOutput::RunEnd end;
  end.command = command;
  end.exitCode = exitCode;
  end.seconds = static_cast<double>(aTime_GetMonotonicUS() - startUS) / 1e6;
  end.lastError = recorder.LastError();
  JsonOutput::Print(stdout, JsonOutput::Document(record, end));
  return exitCode;
}

int RunWithStore(Parameters& parameters, CLI_Display& console, ErrorRecorder& recorder, uint64_t startUS) {
  RunRecord record;
  std::string directory = cli::_build_updater_directory();
  if (directory.empty())
    recorder.message(UpdaterDisplayInterface::Error, "Could not determine the home directory of this user");
  if (!EnsureUpdaterDirectory(directory)) {
    recorder.message(UpdaterDisplayInterface::Error, "Could not find updater directory at %s", directory.c_str());
    return Finish(parameters, record, recorder, "none", 1, startUS);
  }
  RecordingUpdater updater(parameters.serverUrl.c_str(), directory.c_str(), recorder, record);
  int result = RunCommands(parameters, updater, recorder);
  if (Interrupt::Requested() != 0)
    console.end_open_line();
  return Finish(parameters, record, recorder, MainCommand(parameters), result, startUS);
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t startUS = aTime_GetMonotonicUS();
  // From the start, so a signal during any command is seen between its steps.
  Interrupt::Install();
  Parameters parameters;
  CLI_Display display;
  ErrorRecorder recorder(display);
  Log::SetOutput(stderr);
  // The link core's few user lines (a device it may not open) go to the same display.
  UserNotice::Route noticeRoute(&recorder);

  int parsed = cli::_get_params(recorder, argc, argv, parameters);
  if (parameters.json)
    display.keep_output_free();
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
    return Finish(parameters, RunRecord(), recorder, "none", 1, startUS);
  }
  if (parameters.versionRequested) {
    cli::_display_program_version(display);
    return 0;
  }
  std::unique_ptr<LogFile> logFile;
  if (parameters.logFileGiven)
    logFile.reset(new LogFile(parameters.logFile, parameters.logMode, display));

  cli::_display_app_version(display);
  if (parameters.commands.IsSet(CMD_HELP) || !parameters.commands.IsSet(CMD_ANY_COMMAND)) {
    cli::_display_copyright(display);
    cli::_display_kl_version(display);
    // Help that was asked for is the run's output (a pager finds it there);
    // the short usage of a run without a command stays beside the messages.
    cli::_display_usage(parameters.showExtendedUsage, parameters.helpRequested,
                        parameters.helpRequested ? stdout : stderr);
    return 0;
  }
  display.set_aside(false);
  return RunWithStore(parameters, display, recorder, startUS);
}
