// Entry point: parse, print the banner or usage, ensure the store, run the commands.
#include <memory>

#include "CLI_Display.h"
#include "Commands.h"
#include "Interrupt.h"
#include "Log.h"
#include "LogFile.h"
#include "Parameters.h"
#include "Updater.h"
#include "UpdaterDirectory.h"
#include "Usage.h"

namespace {

int RunWithStore(Parameters& parameters, CLI_Display& console) {
  std::string directory = cli::_build_updater_directory();
  if (directory.empty())
    console.message(UpdaterDisplayInterface::Error, "Could not determine the home directory of this user");
  if (!EnsureUpdaterDirectory(directory)) {
    console.message(UpdaterDisplayInterface::Error, "Could not find updater directory at %s", directory.c_str());
    return 1;
  }
  Updater updater(parameters.serverUrl.c_str(), directory.c_str(), console);
  int result = RunCommands(parameters, updater, console);
  if (Interrupt::Requested() != 0)
    console.end_open_line();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  // From the start, so a signal during any command is seen between its steps.
  Interrupt::Install();
  Parameters parameters;
  CLI_Display display;
  Log::SetOutput(stderr);

  if (cli::_get_params(display, argc, argv, parameters) != 0) {
    cli::_display_app_version(display);
    cli::_display_copyright(display);
    cli::_display_usage(false, false);
    return 1;
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
    cli::_display_usage(parameters.showExtendedUsage, parameters.helpRequested);
    return 0;
  }
  return RunWithStore(parameters, display);
}
