// A worker thread that keeps calling a callback to drain something into a file.
#pragma once
#include <stdint.h>

#include "aError.h"
#include "aFile.h"

// Called over and over while the logger runs; it does its own waiting.
typedef void (*aLoggerCallback)(aFileRef file, uint32_t reference);

typedef struct aLogger aLogger;

// Opens `path` for appending, unbuffered. Nothing when memory or the file is
// not available.
aLogger* aLogger_Create(uint32_t reference, aLoggerCallback callback, const char* path);
aErr aLogger_Enable(aLogger* logger);
// Called from the callback itself it returns aErrNone without stopping.
aErr aLogger_Disable(aLogger* logger);
// Stops the worker, closes the file and frees the logger (clearing the
// caller's pointer) when stopping succeeded; returns the stop result.
aErr aLogger_Destroy(aLogger** logger);
