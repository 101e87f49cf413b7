// Passes everything on to another display and keeps the last error line, so a module's
// result can say in one line why it failed.
#pragma once
#include <string>

#include "UpdaterDisplayInterface.h"

class ErrorRecordingDisplay : public UpdaterDisplayInterface {
public:
  explicit ErrorRecordingDisplay(UpdaterDisplayInterface& inner) : inner_(inner) { muted = inner.muted; }

  void display_progress(bool visible) override { inner_.display_progress(visible); }
  void update_progress(double fraction, const char* label) override { inner_.update_progress(fraction, label); }
  void update_spinner(bool active, const char* label) override { inner_.update_spinner(active, label); }
  void update_transfer(uint64_t done, uint64_t total, const char* label) override {
    inner_.update_transfer(done, total, label);
  }
  void info_message(const char* text) override { inner_.info_message(text); }
  void error_message(const char* text) override {
    last_ = text;
    inner_.error_message(text);
  }

  const std::string& LastError() const { return last_; }
  // Starts a new stretch: the error lines before it are forgotten.
  void Forget() { last_.clear(); }

private:
  UpdaterDisplayInterface& inner_;
  std::string last_;
};
