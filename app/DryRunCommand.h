// -U --dry-run: finds the modules as the update would, chooses each one's build and
// source as the update would, and shows the plan. Nothing is downloaded, locked or
// written. Exit 0 when every module could be updated, else 1; with --json the plan is
// the document on stdout.
#pragma once
#include "Parameters.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"

int RunDryRun(Parameters& p, Updater& updater, UpdaterDisplayInterface& display);
