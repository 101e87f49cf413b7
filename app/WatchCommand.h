// -U --watch: a station. Watches USB and TCP/IP (or the transport -t names) and updates
// every accepted module that appears, until SIGINT or SIGTERM; then the table.
// Exit 0 when every module it handled succeeded or was current, else 1.
#pragma once
#include "Parameters.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"

int RunWatch(Parameters& p, Updater& updater, UpdaterDisplayInterface& display);
