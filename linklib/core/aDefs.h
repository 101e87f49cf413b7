// Module model codes and their names.
#pragma once
#include <stdint.h>

const char* aDefs_GetModelName(uint32_t code);
