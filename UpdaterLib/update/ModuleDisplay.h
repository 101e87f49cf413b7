// One module's display in a fleet update: what the single-module flow shows goes to the
// fleet's observer under the module's serial number.
#pragma once
#include <cstdint>

#include "UpdaterDisplayInterface.h"
#include "update/FleetObserver.h"

class ModuleDisplay : public UpdaterDisplayInterface {
public:
  ModuleDisplay(FleetObserver& observer, uint32_t serialNumber) : observer_(observer), serial_(serialNumber) {}

  void display_progress(bool visible) override {
    if (!visible) observer_.module_idle(serial_);
  }
  void update_progress(double fraction, const char* label) override {
    observer_.module_progress(serial_, fraction, label);
  }
  void update_spinner(bool active, const char* label) override {
    if (active)
      observer_.module_progress(serial_, -1, label);
    else
      observer_.module_idle(serial_);
  }
  void info_message(const char* text) override {
    observer_.module_message(serial_, UpdaterDisplayInterface::Info, text);
  }
  void error_message(const char* text) override {
    observer_.module_message(serial_, UpdaterDisplayInterface::Error, text);
  }

private:
  FleetObserver& observer_;
  uint32_t serial_;
};
