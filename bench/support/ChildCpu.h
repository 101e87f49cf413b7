// The CPU time of the programs a bench ran, less what starting one in a namespace costs.
#pragma once
#include "LabNetwork.h"

namespace bench {

// User + system seconds of every waited-for child so far.
double ChildCpuSeconds();
// Times every waited-for child so far gave up the CPU to wait (voluntary context
// switches): the wake-ups it needed, a figure that load moves much less than time.
double ChildWakeups();
// CPU seconds that entering the namespace and binding the store cost a program that does
// nothing; it is no part of the updater's own work.
double LaunchCpuSeconds(testsupport::LabNetwork& net);

}  // namespace bench
