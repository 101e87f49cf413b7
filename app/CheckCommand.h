// -C: loads a BIRD file as an update would, shows what it holds and says
// whether an update would accept it.
#pragma once
#include <string>

#include "Parameters.h"
#include "UpdaterDisplayInterface.h"

// 0 when an update would accept the file, 1 when it would refuse it.
int CheckBirdFile(const Parameters& parameters, const std::string& updaterDirectory, UpdaterDisplayInterface& display);
