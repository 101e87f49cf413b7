// -U for several modules (-d A,B,... or -d all): finds them, updates them side by side,
// ends with the table. Exit 0 only when every module runs its new build.
#pragma once
#include "Parameters.h"
#include "RunRecord.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"

// Each module's outcome goes into `record`.
int RunFleetUpdate(Parameters& p, Updater& updater, UpdaterDisplayInterface& display, RunRecord& record);
