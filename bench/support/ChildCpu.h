// The CPU time of the programs a bench ran, less what starting one in a namespace costs.
#pragma once
#include "LabNetwork.h"

namespace bench {

// User + system seconds of every waited-for child so far.
double ChildCpuSeconds();
// CPU seconds that entering the namespace and binding the store cost a program that does
// nothing; it is no part of the updater's own work.
double LaunchCpuSeconds(testsupport::LabNetwork& net);

}  // namespace bench
