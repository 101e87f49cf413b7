#include "AppTestSupport.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "Log.h"
#include "TestSupport.h"

namespace apptest {

CaptureFile::CaptureFile() : file_(tmpfile()) {}
CaptureFile::~CaptureFile() {
  if (file_)
    fclose(file_);
}

std::string CaptureFile::Contents() const {
  std::string text;
  fflush(file_);
  rewind(file_);
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), file_)) > 0)
    text.append(buffer, n);
  return text;
}

LogStateGuard::LogStateGuard() : fh_(Log::fh), mask_(Log::package_bitmask) {}
LogStateGuard::~LogStateGuard() {
  Log::fh = fh_;
  Log::package_bitmask = mask_;
}

namespace {

// Runs in the forked child; only async-signal-safe work would be strictly
// correct here, but the parent is single-threaded at this point in the tests.
[[noreturn]] void ExecChild(const std::string& path, const std::vector<std::string>& args, const RunOptions& options,
                            int outFd, int errFd) {
  dup2(outFd, STDOUT_FILENO);
  dup2(errFd, STDERR_FILENO);
  int nullFd = open("/dev/null", O_RDONLY);
  if (nullFd >= 0)
    dup2(nullFd, STDIN_FILENO);
  if (options.isolate) {
    const struct passwd* pw = getpwuid(getuid());
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        !pw || mount(options.homeOverlay.c_str(), pw->pw_dir, nullptr, MS_BIND, nullptr) != 0) {
      perror("isolation");
      _exit(127);
    }
  }
  if (options.uid != static_cast<uid_t>(-1)) {
    if (setgroups(0, nullptr) != 0 || setgid(options.uid) != 0 || setuid(options.uid) != 0) {
      perror("setuid");
      _exit(127);
    }
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  if (options.replaceEnvironment) {
    std::vector<char*> envp;
    for (const std::string& e : options.environment)
      envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    execve(path.c_str(), argv.data(), envp.data());
  } else {
    execv(path.c_str(), argv.data());
  }
  perror("exec");
  _exit(127);
}

void DrainPipes(int outFd, int errFd, RunResult& result, pid_t child) {
  struct pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (open > 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      break;
    }
    if (poll(fds, 2, 200) < 0 && errno != EINTR)
      break;
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        open--;
      }
    }
  }
  for (auto& fd : fds)
    if (fd.fd >= 0)
      close(fd.fd);
}

}  // namespace

RunResult RunProgram(const std::string& path, const std::vector<std::string>& args, const RunOptions& options) {
  RunResult result;
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0)
    return result;
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return result;
  }
  pid_t child = fork();
  if (child == 0)
    ExecChild(path, args, options, outPipe[1], errPipe[1]);
  close(outPipe[1]);
  close(errPipe[1]);
  if (child < 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    return result;
  }
  DrainPipes(outPipe[0], errPipe[0], result, child);
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status))
    result.exitCode = WEXITSTATUS(status);
  return result;
}

std::string Golden(const std::string& name) { return testsupport::ReadFile(testsupport::SourcePath("tests/app/golden/" + name)); }

}  // namespace apptest
