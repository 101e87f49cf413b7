// Millisecond wall-clock ticks and sleeps.
#pragma once
#include <stdint.h>

// Milliseconds of the time of day; 0 when the clock cannot be read.
uint64_t aTime_GetMSTicks(void);
void aTime_MSSleep(unsigned long milliseconds);
