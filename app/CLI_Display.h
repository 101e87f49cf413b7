// The console display: messages to stdout/stderr, progress and spinner on a terminal only.
#pragma once
#include <cstdint>
#include <cstdio>

#include "UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
public:
  // Switches stdout and stderr to unbuffered so "\r" lines appear at once.
  CLI_Display();
  // For tests: write to the given streams instead of stdout/stderr.
  CLI_Display(FILE* out, FILE* err);
  virtual ~CLI_Display() = default;

  void display_progress(bool visible) override;
  void update_progress(double fraction, const char* label) override;
  void update_spinner(bool active, const char* label) override;
  void info_message(const char* text) override;
  void error_message(const char* text) override;

  // Ends a progress or spinner line that was left mid-way (an interrupted
  // run), so the shell prompt does not land on it.
  void end_open_line();
  // Info lines, progress and spinner go to the error stream from now on, so
  // the standard output carries only what the caller writes there itself.
  void keep_output_free();

private:
  // Whether a write to `stream` failed (a closed pipe, a full disk): it is
  // not written to again.
  bool closed(FILE* stream) const;
  bool out_is_terminal() const;
  void write_line(FILE* stream, const char* text);
  void clear_line();

  FILE* out_;
  FILE* err_;
  bool lineOpen_ = false;
  FILE* closed_[2] = {nullptr, nullptr};
  static uint8_t spinner_frame;
};
