// The banner lines and the usage texts.
#pragma once
#include <cstdio>

#include "UpdaterDisplayInterface.h"

// The front end's own helpers: their names begin with an underscore, so they
// live in a namespace (such names are reserved at global scope).
namespace cli {

void _display_app_version(UpdaterDisplayInterface& display);
// The one line -V and --version print: the program and its release, e.g. "updater 1.1.0".
void _display_program_version(UpdaterDisplayInterface& display);
void _display_copyright(UpdaterDisplayInterface& display);
void _display_kl_version(UpdaterDisplayInterface& display);

// Always the short usage; the parameters text and the samples when help was
// asked for, the extended text only when both flags are set. Usage goes
// straight to the error stream, not through the display, so muting keeps it.
void _display_usage(bool showExtended, bool helpRequested, FILE* out = stderr);

}  // namespace cli
