// What one module's update came to: the row of the fleet table and of the
// machine-readable result.
#pragma once
#include <cstdint>
#include <string>

#include "aError.h"
#include "aLinkSpec.h"

// Where a module was reached: on USB (its bus and device), at an IP address and
// port, or behind a router at a module address.
struct ModulePlace {
  linkType transport = linkTypeInvalid;  // invalid: never reached
  uint8_t usbBus = 0;                    // USB; 0 with usbDevice 0 when not known
  uint8_t usbDevice = 0;
  uint32_t address = 0;  // TCP/IP, in network byte order
  uint16_t port = 0;
  uint32_t routerSerialNumber = 0;  // behind a router; 0 for a module reached directly
  uint8_t moduleAddress = 0;

  bool Reached() const { return transport != linkTypeInvalid || routerSerialNumber != 0; }
};

// The state an update left a module in.
enum class ModuleState {
  Untouched,   // nothing was written: it runs what it ran before (a current module too)
  Updated,     // it came back running the build that was sent
  InLoader,    // the loader was started and the firmware not finished: it may wait in its loader
  NotBack,     // rebooted into the new firmware and not seen again
  OtherBuild,  // came back running another build than the one sent
};

struct ModuleOutcome {
  uint32_t serialNumber = 0;
  std::string model;          // empty when the module was never reached
  ModulePlace place;
  uint32_t buildBefore = 0;   // 0 when unknown
  std::string versionBefore;  // "1.4.1" with buildBefore; empty when unknown
  uint32_t buildAfter = 0;    // the build seen running after the reboot; 0 when not seen
  std::string versionAfter;   // "1.4.2" with buildAfter
  uint64_t bytesSent = 0;     // loader and firmware bytes the module took
  ModuleState state = ModuleState::Untouched;
  bool succeeded = false;     // running the build that was sent
  bool current = false;       // already ran the wanted build and was not written (succeeded too)
  aErr error = aErrNone;      // the link library's code of the failure, aErrNone when there is none
  std::string errorText;      // the line the user was shown for the failure
  double seconds = 0;         // from the start of the module's update to its verified return or failure
  // With -G, the module's own download before its update.
  struct Download {
    bool ran = false;
    uint32_t build = 0;  // the build stored; 0 after a failure
  } download;
};
