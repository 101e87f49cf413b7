#include "discovery/RouterRoute.h"

#include "Log.h"
#include "aDefs.h"
#include "discovery/NetworkScan.h"

aErr RouterRoute::Open(uint32_t routerSerialNumber, linkType type) {
  aErr err = router_.connect(type == linkTypeInvalid ? linkTypeUSB : type, routerSerialNumber);
  if (err == aErrNotFound && type == linkTypeInvalid)
    err = router_.connect(linkTypeTCPIP, routerSerialNumber);
  if (err != aErrNone)
    return err;
  system_.init(&router_, 0);
  err = system_.routeToMe(1);
  if (err != aErrNone) {
    Log::log(DEBUG_Network, "NETWORK: Router [%08X] refused routing [%d]\n", routerSerialNumber, err);
    router_.disconnect();
    return err;
  }
  routing_ = true;
  return aErrNone;
}

aErr RouterRoute::Connect(Tessoral::Kovalink::Module& target) {
  if (!routing_)
    return aErrNotReady;
  return target.connectThroughLinkModule(&router_);
}

uint8_t RouterRoute::FindAddress(uint32_t serialNumber) {
  if (!routing_ || !router_.getLink())
    return 0;
  NetworkScan scan;
  for (const NetworkScan::Found& found : scan.Run(router_.getLink()->getLinkRef(), router_.getModuleAddress()))
    if (found.serialNumber == serialNumber)
      return found.address;
  return 0;
}

void RouterRoute::Close() {
  if (!routing_)
    return;
  routing_ = false;
  system_.routeToMe(0);
  router_.disconnect();
}
