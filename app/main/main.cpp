// Entry point: parse, print the banner or usage, ensure the store, run the commands.
#include <memory>

#include "CLI_Display.h"
#include "Interrupt.h"
#include "Commands.h"
#include "Log.h"
#include "LogFile.h"
#include "Parameters.h"
#include "Updater.h"
#include "UpdaterDirectory.h"
#include "Usage.h"

int main(int argc, char** argv) {
  Parameters parameters;
  CLI_Display display;
  Log::SetOutput(stderr);

  if (cli::_get_params(display, argc, argv, parameters) != 0) {
    cli::_display_app_version(display);
    cli::_display_copyright(display);
    cli::_display_usage(false, false);
    return 1;
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

  std::string directory = cli::_build_updater_directory();
  if (directory.empty())
    display.message(UpdaterDisplayInterface::Error, "Could not determine the home directory of this user");
  if (!EnsureUpdaterDirectory(directory)) {
    display.message(UpdaterDisplayInterface::Error, "Could not find updater directory at %s", directory.c_str());
    return 1;
  }

  // A transfer stops cleanly between blocks on Ctrl-C and says where it left the module.
  Interrupt::Install();
  Updater updater(parameters.serverUrl.c_str(), directory.c_str(), display);
  int result = RunCommands(parameters, updater, display);
  cli::_release_params(parameters);
  return Interrupt::Requested() != 0 ? 128 + Interrupt::Requested() : result;
}
