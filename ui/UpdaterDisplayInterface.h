// The sink for everything the user sees: messages, a progress bar, a spinner.
#pragma once
#include <cstdint>

class UpdaterDisplayInterface {
public:
  enum Level { Info = 0, Error = 1 };

  void mute_messages(bool mute) { muted = mute; }
  // printf-style; cut to 2047 characters. Level 1 is an error, anything else info.
  void message(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

  virtual void display_progress(bool visible) = 0;
  virtual void update_progress(double fraction, const char* label) = 0;
  virtual void update_spinner(bool active, const char* label) = 0;
  // A transfer whose size is known: `done` of `total` bytes. A display that
  // shows no more than the fraction need not override it.
  virtual void update_transfer(uint64_t done, uint64_t total, const char* label) {
    update_progress(total != 0 ? static_cast<double>(done) / static_cast<double>(total) : 0.0, label);
  }
  virtual void info_message(const char* text) = 0;
  virtual void error_message(const char* text) = 0;

  bool muted = false;

protected:
  // Owned by whoever created it; never deleted through this interface.
  ~UpdaterDisplayInterface() = default;
};
