// Named, process-private, non-recursive mutexes.
#pragma once
#include "aError.h"

typedef struct aMutex aMutex;

// Returns nothing when memory is exhausted, the name has 256 characters or
// more, or the mutex cannot be initialised. `name` may be null.
aMutex* aMutex_Create(const char* name);
const char* aMutex_Identifier(const aMutex* mutex);
aErr aMutex_Lock(aMutex* mutex);
aErr aMutex_TryLock(aMutex* mutex);
aErr aMutex_Unlock(aMutex* mutex);
aErr aMutex_Destroy(aMutex** mutex);
