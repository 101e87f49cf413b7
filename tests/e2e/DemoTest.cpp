// scripts/demo end to end: it runs the whole main job against its lab, and
// leaves no namespace, mount, process or file behind, also when interrupted.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace {

using testsupport::ReadFile;

struct DemoRun {
  int exitCode = -1;  // -1 when it had to be killed
  std::string output;
};

bool PathExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Starts scripts/demo in its own process group with stdout and stderr in `log`.
pid_t StartDemo(const std::string& log) {
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int null = open("/dev/null", O_RDONLY);
    if (fd < 0 || null < 0)
      _exit(127);
    dup2(null, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    setenv("DEMO_BIN", UPDATER_BIN_DIR, 1);
    std::string script = testsupport::SourcePath("scripts/demo");
    execl("/bin/bash", "bash", script.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid > 0)
    setpgid(pid, pid);
  return pid;
}

// Waits for the demo to end; after `timeoutMs` its whole group is killed.
int WaitDemo(pid_t pid, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool WaitForText(const std::string& log, const std::string& text, int timeoutMs) {
  return testsupport::WaitUntil([&] { return ReadFile(log).find(text) != std::string::npos; }, timeoutMs);
}

// Processes whose command line mentions `text`.
std::vector<std::string> ProcessesMentioning(const std::string& text) {
  std::vector<std::string> found;
  DIR* proc = opendir("/proc");
  if (!proc)
    return found;
  while (dirent* entry = readdir(proc)) {
    std::string name = entry->d_name;
    if (name.find_first_not_of("0123456789") != std::string::npos)
      continue;
    std::string cmdline = ReadFile("/proc/" + name + "/cmdline");
    for (char& c : cmdline)
      if (c == '\0')
        c = ' ';
    if (cmdline.find(text) != std::string::npos)
      found.push_back(name + ": " + cmdline);
  }
  closedir(proc);
  return found;
}

// The text between `before` and the first character of `stop` after it.
std::string Between(const std::string& text, const std::string& before, const std::string& stop) {
  size_t at = text.find(before);
  if (at == std::string::npos)
    return std::string();
  at += before.size();
  return text.substr(at, text.find_first_of(stop, at) - at);
}

// Nothing of the run named in `output` is left: namespaces, files, mounts, processes.
void ExpectNothingLeft(const std::string& output) {
  std::string ns = Between(output, "private network namespaces (", ",");
  std::string work = Between(output, "lab files in ", " \n");
  ASSERT_EQ(ns.rfind("ulab-d-", 0), 0u) << output;
  ns.resize(ns.size() - 2);  // the program side's "-p"
  ASSERT_EQ(work.rfind("/tmp/updater-demo.", 0), 0u) << output;
  EXPECT_FALSE(PathExists("/run/netns/" + ns + "-p"));
  EXPECT_FALSE(PathExists("/run/netns/" + ns + "-l"));
  EXPECT_FALSE(PathExists(work));
  std::string mounts = ReadFile("/proc/mounts");
  EXPECT_EQ(mounts.find(".tessoral"), std::string::npos) << mounts;
  EXPECT_EQ(mounts.find(work), std::string::npos);
  std::vector<std::string> left = ProcessesMentioning(work);
  EXPECT_TRUE(left.empty()) << left.front();
}

class Demo : public ::testing::Test {
protected:
  void SetUp() override {
    if (!testsupport::IsRoot())
      GTEST_SKIP() << "the demo needs root for its network namespaces";
  }
  testsupport::TempDir dir;
};

// What step `number` printed, from its heading up to the next step's.
std::string StepText(const std::string& out, int number) {
  size_t at = out.find("== Step " + std::to_string(number) + ":");
  if (at == std::string::npos)
    return std::string();
  size_t end = out.find("== Step " + std::to_string(number + 1) + ":", at);
  return out.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// Each step of the demo, the command it shows and what its output must hold for
// the step's own claim to be true.
struct StepClaim {
  int number;
  std::vector<std::string> holds;
};

const StepClaim kClaims[] = {
    {1, {"$ updater -D -t TCPIP\n", "Discovered Devices: (TCPIP)", "\n    0000BEEF  02       02      Holvex         1.2.0 (1200)",
         "\n    0000CAFE  ", "\n    0000D00D  "}},
    {2, {"$ updater -D -r 0000D00D -t TCPIP", "\n    00000B04  04 ",
         "\n    00000B0A  0A       02      Kirrow         1.1.0 (1100)"}},
    {3, {"$ updater -B -d 0000BEEF -u http://", "Build List for device [0000BEEF]:", "\n1420 "}},
    {4, {"$ updater -G -d 0000BEEF -u http://", "Build 1420 is valid", "updater/0000BEEF/1420.bird"}},
    {5, {"$ updater -U -d 0000BEEF -u http://", "Module 0000BEEF now runs 1.4.2 (build 1420)\n", "Update time: "}},
    {6, {"$ updater -D -t TCPIP\n", "\n    0000BEEF  02       02      Holvex         1.4.2 (1420)"}},
    {7, {"$ updater -G -U -d all -r 0000D00D -t TCPIP -u http://", "Module 00000B0A behind router 0000D00D at address 0A",
         "00000B0A  Kirrow         1100 -> 1203", "2 of 2 modules updated"}},
    {8, {"$ updater -D -r 0000D00D -t TCPIP", "\n    00000B0A  0A       02      Kirrow         1.2.3 (1203)"}},
    {9, {"$ updater -G -U -d 0000CAFE -u http://", "Firmware update of module [0000CAFE] failed",
         "(exit code 1, as expected"}},
    {10, {"$ updater -G -U -d 0000D00D,0000F1E1,0000F1E2,0000F1E3 -t TCPIP -u http://",
          "Updating 4 modules, up to 8 at a time", "0000D00D  Tavrel         3100 -> 3120",
          "0000F1E1  Morlix         4000 -> 4100", "0000F1E2  Darnow         5200 -> 5300",
          "0000F1E3  Felkor         6001 -> 6010", "4 of 4 modules updated"}},
    {11, {"$ updater -N -s ", "[ 12345678 9ABCDEF0 0F1E2D3C 4B5A6978 ]"}},
    {12, {"$ updater -U -t RECOVER -s ", "Recovering firmware with build: 2100", "Rebooting Device",
          " bytes of flash: identical to the image\n"}},
    {13, {"$ updater -D\n", "Discovered Devices: (USB)", "\n    0000BEEF  02       02      Holvex         1.2.0 (1200)"}},
    {14, {"$ updater -U -d 0000BEEF -u http://", "Module 0000BEEF now runs 1.4.2 (build 1420)\n"}},
    {15, {"$ updater -D\n", "\n    0000BEEF  02       02      Holvex         1.4.2 (1420)"}},
    {16, {"$ updater -N -s USB -u http://", "[ D6E7F809 92A3B4C5 5E6F7081 1A2B3C4D ]"}},
    {17, {"$ updater -U -t RECOVER -s USB -u http://", "Recovering firmware with build: 2200", "Transferred 2 blocks",
          "Module 0000B1C0 now runs 2.2.0 (build 2200)\n"}},
    {18, {"$ updater -D\n", "\n    0000B1C0  02       02      Jastre         2.2.0 (2200)"}},
    {19, {"$ updater -U -d 0000BEEF -f ", "Bird file unsigned.bird is not signed by a trusted key (unsigned)",
          "(exit code 1, as expected"}},
    {20, {"$ updater -G -U --watch -t TCPIP -d 0000A7 -u http://", "\n  0000A701: ", "Z updated, build 1200 -> 1420",
          "Z current (build 1420)", "\n  0000A703: ",
          "0000A702  Holvex         1420 -> 1420             0.0 s  current (build 1420)"}},
    {21, {"$ updater -I -d 0000FA11\n", "Z  fingerprint read through the LPC boot ROM: [ 12345678 9ABCDEF0 0F1E2D3C 4B5A6978 ]",
          "Z  recovered through the LPC boot ROM with build 2100 (2100.bird), chip [ 12345678 9ABCDEF0 0F1E2D3C "
          "4B5A6978 ]; verified: the chip read its flash back identical to the image"}},
    {22, {"$ updater -I -d 0000B1C0\n", "Z  fingerprint read through the i.MX boot ROM: [ D6E7F809 92A3B4C5 5E6F7081 1A2B3C4D ]",
          "Z  recovered through the i.MX boot ROM with build 2200 (2200.bird), chip [ D6E7F809 92A3B4C5 5E6F7081 "
          "1A2B3C4D ]; verified: the module came back running build 2200"}},
};

TEST_F(Demo, RunsTheMainJobToTheEndAndCleansUp) {
  std::string log = dir.file("demo.log");
  pid_t pid = StartDemo(log);
  ASSERT_GT(pid, 0);
  int code = WaitDemo(pid, 90000);
  std::string out = ReadFile(log);
  EXPECT_EQ(code, 0) << out;

  // Every step says what it shows; its own output must bear that out.
  for (const StepClaim& claim : kClaims) {
    std::string text = StepText(out, claim.number);
    ASSERT_FALSE(text.empty()) << "step " << claim.number << " missing\n" << out;
    for (const std::string& part : claim.holds)
      EXPECT_NE(text.find(part), std::string::npos) << "step " << claim.number << " lacks: " << part << "\n" << text;
  }
  EXPECT_TRUE(StepText(out, 23).empty()) << "a step the test does not check";
  // Only the deliberate failure fails.
  for (const StepClaim& claim : kClaims) {
    if (claim.number == 9 || claim.number == 19)
      continue;
    EXPECT_EQ(StepText(out, claim.number).find("(exit code"), std::string::npos) << "step " << claim.number;
  }
  // The lab's own account agrees.
  for (const char* line : {"builds made with birdpack, all signed", "holds the 0000FA11 firmware byte for byte", "now runs 0000B1C0's firmware",
                           "0000BEEF runs build 1420 after one reboot", "Demo finished: every step behaved as expected."})
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  ExpectNothingLeft(out);
}

TEST_F(Demo, CtrlCStopsItAndCleansUp) {
  std::string log = dir.file("demo.log");
  pid_t pid = StartDemo(log);
  ASSERT_GT(pid, 0);
  bool started = WaitForText(log, "== Step 2", 60000);
  kill(-pid, SIGINT);  // what the terminal sends to the whole foreground group
  int code = WaitDemo(pid, 30000);
  std::string out = ReadFile(log);
  ASSERT_TRUE(started) << out;
  EXPECT_EQ(code, 130) << out;
  EXPECT_NE(out.find("interrupted"), std::string::npos) << out;
  EXPECT_EQ(out.find("== Step 3"), std::string::npos) << "went on after Ctrl-C";
  ExpectNothingLeft(out);
}

}  // namespace
