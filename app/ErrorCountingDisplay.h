// A display that passes everything on and counts the errors shown, so the
// front end can tell a command that reported a failure from one that simply
// found nothing (an empty build list, say).
#pragma once
#include "UpdaterDisplayInterface.h"

class ErrorCountingDisplay : public UpdaterDisplayInterface {
public:
  explicit ErrorCountingDisplay(UpdaterDisplayInterface& target) : target_(target) {}
  virtual ~ErrorCountingDisplay() = default;

  void display_progress(bool visible) override { target_.display_progress(visible); }
  void update_progress(double fraction, const char* label) override { target_.update_progress(fraction, label); }
  void update_spinner(bool active, const char* label) override { target_.update_spinner(active, label); }
  void info_message(const char* text) override { target_.info_message(text); }
  void error_message(const char* text) override {
    errors_++;
    target_.error_message(text);
  }

  unsigned Errors() const { return errors_; }

private:
  UpdaterDisplayInterface& target_;
  unsigned errors_ = 0;
};
