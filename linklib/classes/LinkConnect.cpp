#include "LinkConnect.h"

#include "aError.h"
#include "aLink.h"
#include "aTime.h"

namespace Tessoral {
namespace Kovalink {

aErr awaitLinkRunning(const std::function<int()>& status, unsigned pollMS, unsigned polls) {
  for (unsigned attempt = 0;; ++attempt) {
    int current = status();
    switch (current) {
      case aLinkStatusRunning:
        return aErrNone;
      case aLinkStatusStopped:
      case aLinkStatusStarting:
      case aLinkStatusSyncing:
        if (attempt >= polls)
          return aErrConnection;
        aTime_MSSleep(pollMS);
        break;
      case aLinkStatusStopping:
        return aErrBusy;
      case aLinkStatusNoStream:
      case aLinkStatusIOError:
      case aLinkStatusFailed:
        return aErrConnection;
      default:
        return aErrDuplicate;
    }
  }
}

}  // namespace Kovalink
}  // namespace Tessoral
