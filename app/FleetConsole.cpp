#include "FleetConsole.h"

#include <unistd.h>

#include <algorithm>

namespace {

const int kBarWidth = 40;

}  // namespace

FleetConsole::FleetConsole(UpdaterDisplayInterface& display, FILE* out, bool quiet)
    : display_(display), out_(out), terminal_(!quiet && isatty(fileno(out)) == 1) {}

std::string FleetConsole::ProgressLine(uint32_t serialNumber, double fraction, const char* label) {
  char text[160];
  if (!(fraction >= 0)) {
    snprintf(text, sizeof(text), "%08X %s ...", serialNumber, label ? label : "waiting");
    return text;
  }
  fraction = std::min(fraction, 1.0);
  const int filled = static_cast<int>(kBarWidth * fraction);
  std::string bar(static_cast<size_t>(filled), '=');
  bar += '>';
  bar.resize(kBarWidth + 1, ' ');
  snprintf(text, sizeof(text), "%08X [%s] %3d%%", serialNumber, bar.c_str(), static_cast<int>(100 * fraction));
  return text;
}

void FleetConsole::module_message(uint32_t serialNumber, int level, const char* text) {
  std::lock_guard<std::mutex> hold(lock_);
  eraseBlock();
  display_.message(level, "%08X: %s", serialNumber, text);
  drawBlock();
}

void FleetConsole::notice(int level, const char* text) {
  std::lock_guard<std::mutex> hold(lock_);
  eraseBlock();
  display_.message(level, "%s", text);
  drawBlock();
}

void FleetConsole::module_progress(uint32_t serialNumber, double fraction, const char* label) {
  std::lock_guard<std::mutex> hold(lock_);
  const std::string text = ProgressLine(serialNumber, fraction, label);
  Line* line = find(serialNumber);
  if (!terminal_) {
    // Without a terminal only the start of a wait is an event worth a line, led by the
    // serial number as every module's line is.
    if (fraction < 0 && (line == nullptr || line->text != text))
      display_.message(UpdaterDisplayInterface::Info, "%08X: %s ...", serialNumber, label ? label : "waiting");
    if (line == nullptr)
      lines_.push_back({serialNumber, text});
    else
      line->text = text;
    return;
  }
  if (line != nullptr && line->text == text) return;
  if (line != nullptr && drawn_ == lines_.size()) {
    // Only this module's line changed: rewrite it where it stands.
    line->text = text;
    const size_t up = drawn_ - static_cast<size_t>(line - lines_.data());
    fprintf(out_, "\033[%zuA\r%s\033[K\033[%zuB\r", up, text.c_str(), up);
    fflush(out_);
    return;
  }
  eraseBlock();
  if (line == nullptr)
    lines_.push_back({serialNumber, text});
  else
    line->text = text;
  drawBlock();
}

void FleetConsole::module_idle(uint32_t serialNumber) {
  std::lock_guard<std::mutex> hold(lock_);
  eraseBlock();
  drop(serialNumber);
  drawBlock();
}

void FleetConsole::module_finished(const ModuleOutcome& outcome) {
  std::lock_guard<std::mutex> hold(lock_);
  eraseBlock();
  drop(outcome.serialNumber);
  if (outcome.succeeded)
    display_.message(UpdaterDisplayInterface::Info, "%08X: done, build %u (%.1f s)", outcome.serialNumber,
                     outcome.buildAfter, outcome.seconds);
  else
    display_.message(UpdaterDisplayInterface::Error, "%08X: failed (%.1f s)", outcome.serialNumber, outcome.seconds);
  drawBlock();
}

// Moves to the first progress line and clears from there to the end of the screen.
void FleetConsole::eraseBlock() {
  if (!terminal_ || drawn_ == 0) return;
  fprintf(out_, "\r\033[%zuA\033[J", drawn_);
  drawn_ = 0;
}

void FleetConsole::drawBlock() {
  if (!terminal_) return;
  for (const Line& line : lines_) fprintf(out_, "%s\033[K\n", line.text.c_str());
  drawn_ = lines_.size();
  fflush(out_);
}

FleetConsole::Line* FleetConsole::find(uint32_t serialNumber) {
  for (Line& line : lines_)
    if (line.serialNumber == serialNumber) return &line;
  return nullptr;
}

void FleetConsole::drop(uint32_t serialNumber) {
  lines_.erase(std::remove_if(lines_.begin(), lines_.end(),
                              [&](const Line& line) { return line.serialNumber == serialNumber; }),
               lines_.end());
}
