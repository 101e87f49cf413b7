// A display that keeps what it is shown, for tests of the update flows.
#pragma once
#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"

class RecordingDisplay : public UpdaterDisplayInterface {
public:
  void display_progress(bool visible) override { events.push_back(visible ? "progress-on" : "progress-off"); }
  void update_progress(double fraction, const char*) override { fractions.push_back(fraction); }
  void update_spinner(bool active, const char*) override { events.push_back(active ? "spin" : "spin-off"); }
  void info_message(const char* text) override { infos.push_back(text); }
  void error_message(const char* text) override { errors.push_back(text); }

  std::vector<std::string> events, infos, errors;
  std::vector<double> fractions;
};

inline bool Shown(const std::vector<std::string>& lines, const std::string& line) {
  for (const std::string& l : lines)
    if (l == line) return true;
  return false;
}
