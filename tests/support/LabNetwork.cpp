#include <atomic>
#include "LabNetwork.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <pwd.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

namespace {

const char kNetnsDir[] = "/run/netns";
const char kPrefix[] = "ulab-";

int NowMs() {
  using namespace std::chrono;
  return static_cast<int>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Starts argv[0] in a process group of its own, stdin from /dev/null, stdout and
// stderr to the given files. Only async-signal-safe calls between fork and exec.
int Spawn(const std::vector<std::string>& argv, const std::string& outPath, const std::string& errPath) {
  std::vector<char*> args;
  for (const std::string& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid != 0)
    return pid;
  setpgid(0, 0);
  int in = open("/dev/null", O_RDONLY);
  int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0 || err < 0)
    _exit(126);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  execvp(args[0], args.data());
  _exit(127);
}

bool Reap(int pid, int& status) {
  int rc = waitpid(pid, &status, WNOHANG);
  return rc == pid || (rc < 0 && errno == ECHILD);
}

// The exit code, or -1 when the process was killed (also on time-out).
int WaitFor(int pid, int timeoutMs, bool* timedOut) {
  int status = 0;
  int deadline = NowMs() + timeoutMs;
  bool done = Reap(pid, status);
  while (!done && NowMs() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    done = Reap(pid, status);
  }
  if (timedOut)
    *timedOut = !done;
  if (!done) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs a short setup command; false with its error output in `error`.
bool Command(const std::vector<std::string>& argv, const std::string& scratch, std::string& error) {
  std::string out = scratch + "/cmd.out", err = scratch + "/cmd.err";
  int pid = Spawn(argv, out, err);
  if (pid < 0 || WaitFor(pid, 10000, nullptr) != 0) {
    error = argv[0];
    for (size_t i = 1; i < argv.size(); ++i)
      error += " " + argv[i];
    error += ": " + ReadFile(err);
    return false;
  }
  return true;
}

// Namespaces named ulab-?-PID-N whose process is gone are left-overs of a killed run.
void RemoveStaleNamespaces(const std::string& scratch) {
  DIR* dir = opendir(kNetnsDir);
  if (!dir)
    return;
  std::vector<std::string> stale;
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.compare(0, sizeof(kPrefix) - 1, kPrefix) != 0 || name.size() < 8)
      continue;
    int pid = std::atoi(name.c_str() + sizeof(kPrefix) + 1);
    if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH)
      stale.push_back(name);
  }
  closedir(dir);
  std::string ignored;
  for (const std::string& name : stale)
    Command({"ip", "netns", "del", name}, scratch, ignored);
}

}  // namespace

std::string LabNetwork::HomeDir() {
  struct passwd* entry = getpwuid(getuid());
  if (entry && entry->pw_dir)
    return entry->pw_dir;
  const char* home = std::getenv("HOME");
  return home ? home : "/root";
}

LabNetwork::LabNetwork() {
  if (!IsRoot()) {
    error_ = "needs root for network namespaces (run the tests as root)";
    return;
  }
  ok_ = build();
  if (!ok_)
    teardown();
}

LabNetwork::~LabNetwork() { teardown(); }

bool LabNetwork::build() {
  static int counter = 0;
  int n = ++counter;
  int pid = static_cast<int>(getpid());
  std::string id = std::to_string(pid) + "-" + std::to_string(n);
  programNs_ = std::string(kPrefix) + "p-" + id;
  labNs_ = std::string(kPrefix) + "l-" + id;
  subnet_ = "10.77." + std::to_string((pid + n) % 250 + 1);
  std::string programIf = "up" + id, labIf = "ul" + id;
  if (programIf.size() > 15) {
    programIf = "up" + std::to_string(n);
    labIf = "ul" + std::to_string(n);
  }
  RemoveStaleNamespaces(logs_.path());
  const std::vector<std::vector<std::string>> steps = {
      {"ip", "netns", "add", programNs_},
      {"ip", "netns", "add", labNs_},
      {"ip", "link", "add", programIf, "netns", programNs_, "type", "veth", "peer", "name", labIf, "netns", labNs_},
      {"ip", "-n", programNs_, "addr", "add", programAddress() + "/24", "dev", programIf},
      {"ip", "-n", labNs_, "addr", "add", labAddress() + "/24", "dev", labIf},
      {"ip", "-n", programNs_, "link", "set", "lo", "up"},
      {"ip", "-n", labNs_, "link", "set", "lo", "up"},
      {"ip", "-n", programNs_, "link", "set", programIf, "up"},
      {"ip", "-n", labNs_, "link", "set", labIf, "up"},
  };
  for (const auto& step : steps)
    if (!Command(step, logs_.path(), error_))
      return false;
  return true;
}

void LabNetwork::teardown() {
  for (size_t i = 0; i < labs_.size(); ++i)
    stopLab(static_cast<int>(i), 2000);
  std::string ignored;
  for (const std::string& ns : {programNs_, labNs_})
    if (!ns.empty())
      Command({"ip", "netns", "del", ns}, logs_.path(), ignored);
  programNs_.clear();
  labNs_.clear();
}

int LabNetwork::startLab(const std::vector<std::string>& args, const std::string& readyLine, int timeoutMs) {
  return startInLab(BinPath("updater-lab"), args, readyLine, timeoutMs);
}

int LabNetwork::startInLab(const std::string& program, const std::vector<std::string>& args,
                           const std::string& readyLine, int timeoutMs) {
  if (!ok_)
    return -1;
  Process process;
  int index = static_cast<int>(labs_.size());
  process.outPath = logs_.file("lab" + std::to_string(index) + ".out");
  process.errPath = logs_.file("lab" + std::to_string(index) + ".err");
  std::vector<std::string> argv = {"ip", "netns", "exec", labNs_, program};
  argv.insert(argv.end(), args.begin(), args.end());
  process.pid = Spawn(argv, process.outPath, process.errPath);
  if (process.pid < 0) {
    error_ = "cannot start " + program;
    return -1;
  }
  labs_.push_back(process);
  int deadline = NowMs() + timeoutMs;
  while (NowMs() < deadline) {
    if (("\n" + ReadFile(process.outPath)).find("\n" + readyLine + "\n") != std::string::npos)
      return index;
    int status = 0;
    if (Reap(process.pid, status)) {
      labs_[index].pid = -1;
      error_ = program + " ended before it was ready: " + ReadFile(process.errPath);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  error_ = program + " did not print '" + readyLine + "' in time: " + ReadFile(process.errPath);
  stopLab(index, 1000);
  return -1;
}

std::string LabNetwork::labOutput(int index) const {
  return index >= 0 && index < static_cast<int>(labs_.size()) ? ReadFile(labs_[index].outPath) : "";
}

std::string LabNetwork::labErrors(int index) const {
  return index >= 0 && index < static_cast<int>(labs_.size()) ? ReadFile(labs_[index].errPath) : "";
}

int LabNetwork::stopLab(int index, int timeoutMs, int signal) {
  if (index < 0 || index >= static_cast<int>(labs_.size()) || labs_[index].pid < 0)
    return -1;
  int pid = labs_[index].pid;
  labs_[index].pid = -1;
  kill(pid, signal);
  return WaitFor(pid, timeoutMs, nullptr);
}

RunResult LabNetwork::run(const std::string& program, const std::vector<std::string>& args, int timeoutMs) {
  RunResult result;
  if (!ok_) {
    result.err = error_;
    return result;
  }
  // `ip netns exec` gives the command a mount namespace of its own, so the
  // bind mount of the private store is seen by this program only.
  std::vector<std::string> argv = {"ip", "netns", "exec", programNs_, "sh", "-c",
                                   "mkdir -p \"$1\" && mount --bind \"$2\" \"$1\" && shift 2 && exec \"$@\"",
                                   "sh", HomeDir() + "/.tessoral", storeDir(), program};
  argv.insert(argv.end(), args.begin(), args.end());
  // Runs may overlap (two users, two discoveries): each keeps its own output.
  static std::atomic<unsigned> runs{0};
  const std::string name = "run" + std::to_string(runs++);
  std::string out = logs_.file(name + ".out"), err = logs_.file(name + ".err");
  int pid = Spawn(argv, out, err);
  if (pid < 0) {
    result.err = "cannot start " + program;
    return result;
  }
  result.exitCode = WaitFor(pid, timeoutMs, &result.timedOut);
  result.out = ReadFile(out);
  result.err = ReadFile(err);
  return result;
}

RunResult LabNetwork::runUpdater(const std::vector<std::string>& args, int timeoutMs) {
  return run(BinPath("updater"), args, timeoutMs);
}

NetnsScope::NetnsScope(const std::string& name) {
  int target = open((std::string(kNetnsDir) + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
  saved_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  entered_ = target >= 0 && saved_ >= 0 && setns(target, CLONE_NEWNET) == 0;
  if (target >= 0)
    close(target);
}

NetnsScope::~NetnsScope() {
  if (entered_ && setns(saved_, CLONE_NEWNET) != 0)
    std::abort();  // carrying on in the test namespace would misroute every later test
  if (saved_ >= 0)
    close(saved_);
}

}  // namespace testsupport
