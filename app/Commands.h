// Runs the requested commands of a parsed command line against an Updater.
#pragma once
#include <cstdio>

#include "UpdaterDisplayInterface.h"
#include "Parameters.h"
#include "RunRecord.h"
#include "Updater.h"

// Fingerprint (-N), download (-G), file check (-C), then the one of -D, -U,
// -B given, then the store report (-I). `display` must be the one `updater`
// writes to, so the errors it reports are seen. Returns the process exit code:
// 0, 1, or 128 + the signal when the run was interrupted. What each command
// returned goes into `record`.
int RunCommands(Parameters& parameters, Updater& updater, UpdaterDisplayInterface& display, RunRecord& record,
                FILE* usageStream = stderr);
