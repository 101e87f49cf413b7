// Runs the requested commands of a parsed command line against an Updater.
#pragma once
#include <cstdio>

#include "Parameters.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"

// Fingerprint (-N), then download (-G), then the first of -D, -U, -B.
// Returns the process exit code, 0 or 1.
int RunCommands(Parameters& parameters, Updater& updater, UpdaterDisplayInterface& display,
                FILE* usageStream = stderr);
