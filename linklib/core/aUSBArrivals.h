// Notice of the maker's USB devices arriving, through libusb's hotplug API where the
// platform has it. It only says that something arrived: the caller enumerates to see what.
#pragma once
#include <stdbool.h>

#include "aError.h"

typedef struct aUSBArrivals aUSBArrivals;

// Starts listening. aErrUnimplemented when the platform has no hotplug notices (the
// caller polls instead), aErrMemory or aErrIO when it could not start; *arrivals is
// then left null.
aErr aUSBArrivals_Create(aUSBArrivals** arrivals);
// True once for every batch of arrivals since the last call.
bool aUSBArrivals_Take(aUSBArrivals* arrivals);
// Stops listening and frees the record; clears the caller's handle.
aErr aUSBArrivals_Destroy(aUSBArrivals** arrivals);
