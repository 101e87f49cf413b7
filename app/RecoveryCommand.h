// The commands that talk to a chip in recovery mode: the fingerprint read
// (-N) and the recovery (-U -t RECOVER). Each keeps its outcome in the run's record.
#pragma once
#include "Parameters.h"
#include "RunRecord.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"

// 0, 1, or -1 when it could not start (no serial port named): the run ends there.
int RunFingerprint(Parameters& parameters, Updater& updater, UpdaterDisplayInterface& display, RunRecord& record);
// 0 when the module was recovered and its return proved, else 1.
int RunRecovery(Parameters& parameters, Updater& updater, UpdaterDisplayInterface& display, RunRecord& record);
