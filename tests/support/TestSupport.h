// Small helpers shared by every test program.
#pragma once
#include <functional>
#include <string>

namespace testsupport {

// A fresh directory under /tmp, removed with its contents on destruction.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& bytes);

// Path of a built program, e.g. BinPath("updater").
std::string BinPath(const std::string& program);
// Path below the source tree, e.g. SourcePath("tests/fixtures/x").
std::string SourcePath(const std::string& relative);

bool IsRoot();

// Waits until `condition` holds or `timeoutMs` passes; returns the condition.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs);
// A fleet table's row of one module: the last line that starts with its serial number
// and has the build column; empty when there is none.
std::string FleetRow(const std::string& out, const std::string& serial);
// The pid of a running `program` (a full path) whose command line mentions `text`, or 0.
int ProcessMentioning(const std::string& program, const std::string& text);

}  // namespace testsupport
