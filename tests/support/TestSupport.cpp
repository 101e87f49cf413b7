#include "TestSupport.h"

#include <chrono>
#include <dirent.h>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace testsupport {

TempDir::TempDir() {
  char tmpl[] = "/tmp/updater-test-XXXXXX";
  if (!mkdtemp(tmpl))
    throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::string cmd = "rm -rf '" + path_ + "'";
  if (std::system(cmd.c_str()) != 0) {
    // Nothing sensible to do in a destructor; a stale /tmp folder is harmless.
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::string BinPath(const std::string& program) { return std::string(UPDATER_BIN_DIR) + "/" + program; }
std::string SourcePath(const std::string& relative) { return std::string(UPDATER_SOURCE_DIR) + "/" + relative; }

bool IsRoot() { return geteuid() == 0; }

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end)
      return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

int ProcessMentioning(const std::string& program, const std::string& text) {
  DIR* proc = opendir("/proc");
  int found = 0;
  while (proc && !found) {
    dirent* entry = readdir(proc);
    if (!entry)
      break;
    std::string pid = entry->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos)
      continue;
    std::string cmdline = ReadFile("/proc/" + pid + "/cmdline");
    if (cmdline.substr(0, cmdline.find('\0')) == program && cmdline.find(text) != std::string::npos)
      found = std::stoi(pid);
  }
  if (proc)
    closedir(proc);
  return found;
}

std::string FleetRow(const std::string& out, const std::string& serial) {
  std::istringstream lines(out);
  std::string line, found;
  while (std::getline(lines, line))
    if (line.compare(0, serial.size() + 2, serial + "  ") == 0 && line.find(" -> ") != std::string::npos) found = line;
  return found;
}

}  // namespace testsupport
