// The console display: messages to stdout/stderr, progress and spinner on a terminal only.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

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
  // The bar, then bytes done of total, rate and time left.
  void update_transfer(uint64_t done, uint64_t total, const char* label) override;
  void info_message(const char* text) override;
  void error_message(const char* text) override;

  // Ends a progress or spinner line that was left mid-way (an interrupted
  // run), so the shell prompt does not land on it.
  void end_open_line();
  // Info lines, progress and spinner go to the error stream from now on, so
  // the standard output carries only what the caller writes there itself.
  void keep_output_free();
  // -q: errors and results only; no progress, spinner or step messages.
  void set_quiet(bool quiet) { quiet_ = quiet; }
  // -v: each finished transfer also says in one line what it moved and how fast.
  void set_verbose(bool verbose) { verbose_ = verbose; }
  // Info lines go to the error stream while set, whatever -q says: the
  // banner, which a pipe or -q keeps off the standard output.
  void set_aside(bool aside) { aside_ = aside; }
  bool output_is_terminal() const { return out_is_terminal(); }

  // Columns of the terminal on `stream`: its window size, else $COLUMNS, else 80.
  static int Columns(FILE* stream);
  // "12.5 of 256 KiB, 1.6 KiB/s, 2 min 31 s left"; the rate and time left
  // only once `seconds` is long enough to measure.
  static std::string TransferText(uint64_t done, uint64_t total, double seconds);

private:
  // Whether a write to `stream` failed (a closed pipe, a full disk): it is
  // not written to again.
  bool closed(FILE* stream) const;
  bool out_is_terminal() const;
  bool shows_progress() const { return !quiet_ && out_is_terminal(); }
  void write_line(FILE* stream, const char* text);
  void clear_line();
  void draw_bar(double fraction, const char* label, const std::string& detail);
  void report_transfer();

  FILE* out_;
  FILE* err_;
  bool lineOpen_ = false;
  bool quiet_ = false;
  bool verbose_ = false;
  bool aside_ = false;
  // The transfer being shown: when it started and how far it got.
  uint64_t startUS_ = 0;
  uint64_t done_ = 0;
  uint64_t total_ = 0;
  FILE* closed_[2] = {nullptr, nullptr};
  static uint8_t spinner_frame;
};
