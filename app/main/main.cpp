#include "CLI_Display.h"
#include "Log.h"

int main(int, char**) {
  CLI_Display display;
  Log::SetOutput(stderr);
  display.message(UpdaterDisplayInterface::Info, "%s (%s)", "Updater", "Version: 1.1 Jan 21 2023");
  return 0;
}
