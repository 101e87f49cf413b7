// Where a fleet update reports: every module's lines and progress, tagged with its serial
// number, and each module's result as soon as it is known. Called from the modules'
// threads at the same time; the implementation serialises its output.
#pragma once
#include <cstdint>

#include "update/ModuleOutcome.h"

class FleetObserver {
public:
  virtual void module_message(uint32_t serialNumber, int level, const char* text) = 0;
  // `fraction` below 0: the module is waiting (its return after the reboot), `label` says for what.
  virtual void module_progress(uint32_t serialNumber, double fraction, const char* label) = 0;
  // The module's progress line is over: it failed, finished, or left the progress bar.
  virtual void module_idle(uint32_t serialNumber) = 0;
  virtual void module_finished(const ModuleOutcome& outcome) = 0;

protected:
  ~FleetObserver() = default;
};
