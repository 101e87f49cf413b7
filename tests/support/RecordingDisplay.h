// The one display double of the tests: it keeps every message with its level,
// and every progress and spinner call, in the forms the tests compare.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "UpdaterDisplayInterface.h"

class RecordingDisplay : public UpdaterDisplayInterface {
public:
  void display_progress(bool visible) override {
    events.push_back(visible ? "progress-on" : "progress-off");
    progressCalls++;
  }
  void update_progress(double fraction, const char*) override {
    fractions.push_back(fraction);
    progressCalls++;
  }
  void update_spinner(bool active, const char* label) override {
    events.push_back(active ? "spin" : "spin-off");
    spinner.push_back((active ? "+" : "-") + std::string(label ? label : ""));
    spinnerCalls++;
  }
  void info_message(const char* text) override { messages.emplace_back(Info, text); }
  void error_message(const char* text) override { messages.emplace_back(Error, text); }

  // The messages of one level, in order.
  std::vector<std::string> Texts(Level level) const {
    std::vector<std::string> texts;
    for (const auto& m : messages)
      if (m.first == level)
        texts.push_back(m.second);
    return texts;
  }
  std::vector<std::string> Infos() const { return Texts(Info); }
  std::vector<std::string> Errors() const { return Texts(Error); }
  // Every message tagged with its level ("I:..." or "E:..."), in order.
  std::vector<std::string> Tagged() const {
    std::vector<std::string> tagged;
    for (const auto& m : messages)
      tagged.push_back((m.first == Error ? "E:" : "I:") + m.second);
    return tagged;
  }
  bool Shows(Level level, const std::string& text) const {
    for (const auto& m : messages)
      if (m.first == level && m.second == text)
        return true;
    return false;
  }
  // All messages, one per line, for a failure's explanation.
  std::string All() const {
    std::string all;
    for (const auto& m : messages)
      all += m.second + "\n";
    return all;
  }
  void Clear() { *this = RecordingDisplay(); }

  std::vector<std::pair<Level, std::string>> messages;
  std::vector<std::string> events;   // "progress-on", "progress-off", "spin", "spin-off"
  std::vector<std::string> spinner;  // "+label" while turning, "-label" when cleared
  std::vector<double> fractions;
  int progressCalls = 0;
  int spinnerCalls = 0;
};

inline bool Shown(const std::vector<std::string>& lines, const std::string& line) {
  for (const std::string& l : lines)
    if (l == line)
      return true;
  return false;
}
