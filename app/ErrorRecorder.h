// A display that passes everything on and keeps what a result needs: the last
// error line, and the build a module was seen running after its update.
#pragma once
#include <cstdint>
#include <string>

#include "UpdaterDisplayInterface.h"

class ErrorRecorder : public UpdaterDisplayInterface {
public:
  explicit ErrorRecorder(UpdaterDisplayInterface& inner) : inner_(inner) {}
  virtual ~ErrorRecorder() = default;

  void display_progress(bool visible) override { inner_.display_progress(visible); }
  void update_progress(double fraction, const char* label) override { inner_.update_progress(fraction, label); }
  void update_spinner(bool active, const char* label) override { inner_.update_spinner(active, label); }
  void update_transfer(uint64_t done, uint64_t total, const char* label) override {
    inner_.update_transfer(done, total, label);
  }
  void info_message(const char* text) override;
  void error_message(const char* text) override;

  // Starts a new stretch: what was seen before is forgotten.
  void Forget();
  // The last error line since Forget(); empty when there was none.
  const std::string& LastError() const { return lastError_; }
  // The link library's error number that the last error line names, or 0.
  int LastErrorCode() const;
  // The build (and version, when shown) a module was seen running after its
  // update, when that was shown since Forget(); false otherwise.
  bool RunningBuild(uint32_t serialNumber, uint32_t& build, std::string& version) const;

private:
  UpdaterDisplayInterface& inner_;
  std::string lastError_;
  uint32_t runningSerial_ = 0;
  uint32_t runningBuild_ = 0;
  std::string runningVersion_;
};
