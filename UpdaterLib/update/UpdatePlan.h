// What -U would do to each module, worked out without doing it: the build it would write
// and from where, and whether the module already runs it. Nothing is downloaded, locked
// or written; the store and the server are only read.
#pragma once
#include <cstdint>
#include <string>

#include "DeviceInfo.h"
#include "aError.h"

class UpdatePlan {
public:
  // The choices of the -U command line.
  struct Request {
    std::string serverUrl;
    std::string updaterDirectory;
    uint32_t build = 0;     // -b; 0 lets the update choose
    std::string birdFile;   // -f
    bool download = false;  // -G: the build comes from the server
    bool override = false;  // -OVERRIDE: no model check
  };

  // One module's plan.
  struct Module {
    uint32_t serialNumber = 0;
    bool found = false;       // discovery saw it; `device` is then filled in
    DeviceInfo device;
    uint32_t buildWanted = 0; // 0 when no build could be chosen, or the file names none
    std::string source;       // the file, or "server URL"
    bool current = false;     // it runs buildWanted already
    std::string problem;      // why it could not be updated; empty when it could
    aErr error = aErrNone;    // the code the update gives that problem
  };

  explicit UpdatePlan(const Request& request) : request_(request) {}

  // The plan for a module that discovery found (`device`), or did not (null).
  Module For(uint32_t serialNumber, const DeviceInfo* device) const;

private:
  void fromFile(Module& plan) const;
  void fromServer(Module& plan) const;
  void fromStore(Module& plan) const;
  void checkFile(Module& plan, const class BirdFile& file) const;

  Request request_;
};
