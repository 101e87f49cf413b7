// The console of a fleet update. On a terminal every module that is updating has one
// progress line, redrawn in place below the messages; otherwise each event is one plain
// line. Modules report from their own threads: one lock orders all output.
#pragma once
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "Log.h"
#include "UpdaterDisplayInterface.h"
#include "UserNotice.h"
#include "update/FleetObserver.h"

class FleetConsole : public FleetObserver {
public:
  // Messages go through `display`; the progress lines to `out` when it is a terminal
  // and the run is not quiet (-q keeps errors and results only).
  FleetConsole(UpdaterDisplayInterface& display, FILE* out, bool quiet = false);

  void module_message(uint32_t serialNumber, int level, const char* text) override;
  void module_progress(uint32_t serialNumber, double fraction, const char* label) override;
  void module_idle(uint32_t serialNumber) override;
  void module_finished(const ModuleOutcome& outcome) override;

  // A line that belongs to no one module (the link core's notices), in order with the rest.
  void notice(int level, const char* text);

  // The progress line of one module, as drawn: "0000BEEF [=====>     ]  42%".
  static std::string ProgressLine(uint32_t serialNumber, double fraction, const char* label);

  // The link core's notices come from the module threads: while the fleet runs
  // they go through the console, which orders all output.
  class Notices : public UpdaterDisplayInterface {
  public:
    explicit Notices(FleetConsole& console) : console_(console), route_(this) { Log::SetModuleThreadsQuiet(true); }
    ~Notices() { Log::SetModuleThreadsQuiet(false); }
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { console_.notice(Info, text); }
    void error_message(const char* text) override { console_.notice(Error, text); }

  private:
    FleetConsole& console_;
    UserNotice::Route route_;  // last: named once the rest is in place, put back first
  };

private:
  struct Line {
    uint32_t serialNumber;
    std::string text;
  };

  void eraseBlock();
  void drawBlock();
  Line* find(uint32_t serialNumber);
  void drop(uint32_t serialNumber);

  UpdaterDisplayInterface& display_;
  FILE* out_;
  bool terminal_;
  std::mutex lock_;
  std::vector<Line> lines_;
  size_t drawn_ = 0;  // progress lines on the screen below the messages
};
