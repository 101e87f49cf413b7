// For transports that wait on a descriptor: an event descriptor beside it that
// another thread signals to end the wait at once.
#pragma once
#include "aError.h"

// -1 when none can be made (the transport then simply cannot be interrupted).
int aStreamWake_Create(void);
void aStreamWake_Close(int* wakeFd);
aErr aStreamWake_Signal(int wakeFd);
// Polls fd for input and the wake descriptor, at most timeoutMS. aErrNone when
// fd is readable or failed (the next read tells), or the wait was ended by a
// signal (consumed here); aErrNotReady on time-out.
aErr aStreamWake_Poll(int fd, int wakeFd, unsigned long timeoutMS);
