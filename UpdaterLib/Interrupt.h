// Ctrl-C (SIGINT) and termination requests (SIGTERM), recorded so that long
// work (a download, a transfer, a recovery) can stop between two steps, say
// what state it left things in and end the run with 128 + the signal.
#pragma once

namespace Interrupt {

// Installs handlers that only record the signal. The same request repeated
// within a second (`timeout` signals the process, then its group) is taken
// once; a signal after that ends the process at once, as it would have
// without the handlers, so a stuck run can always be stopped. Also ignores
// SIGPIPE: a closed output shows as a failed write, never as a dead update.
void Install();
// The signal received (SIGINT or SIGTERM), or 0 when none was.
int Requested();
// Forgets a recorded signal (tests, and a caller that has reported it).
void Clear();

}  // namespace Interrupt
