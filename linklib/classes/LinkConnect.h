// Waiting for a freshly opened engine link to run, kept apart so its handling
// of every engine status can be exercised without a real link.
#pragma once
#include "aError.h"
#include <functional>

namespace Tessoral {
namespace Kovalink {

// Polls `status` every `pollMS` milliseconds, at most `polls` times, while the
// link is stopped, starting or synchronising. Returns 0 once it runs, else the
// connection error for the status seen.
aErr awaitLinkRunning(const std::function<int()>& status, unsigned pollMS = 10, unsigned polls = 200);

}  // namespace Kovalink
}  // namespace Tessoral
