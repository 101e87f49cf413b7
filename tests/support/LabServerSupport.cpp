#include "LabServerSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "BirdWriter.h"
#include "TestSupport.h"

namespace testsupport {

namespace {

std::vector<char*> sArgv(const std::vector<std::string>& args) {
  std::vector<char*> v;
  for (const std::string& a : args)
    v.push_back(const_cast<char*>(a.c_str()));
  v.push_back(nullptr);
  return v;
}

// Reads everything from the descriptors until both reach end of file.
void sDrain(int outFd, int errFd, std::string& out, std::string& err) {
  struct pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0 && errno != EINTR)
      break;
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || !fds[i].revents)
        continue;
      char buf[65536];
      ssize_t n = read(fds[i].fd, buf, sizeof(buf));
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {  // a pty reports EIO once the child is gone
        close(fds[i].fd);
        fds[i].fd = -1;
        open--;
      }
    }
  }
}

}  // namespace

std::string MakeBirdBytes(uint32_t build, const std::string& version, const std::string& model, uint32_t serial,
                          const std::string& image) {
  std::vector<uint8_t> file =
      birdwriter::EncodeFile({birdwriter::InfoBlock(build, version, serial, model),
                              birdwriter::AddressedBlock(birdwriter::kFirmware, 0x1000,
                                                         std::vector<uint8_t>(image.begin(), image.end()))});
  return std::string(file.begin(), file.end());
}

std::string TestBytes(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes = birdwriter::RandomBytes(size, seed);
  return std::string(bytes.begin(), bytes.end());
}

std::string BirdContent(const std::string& bird) {
  try {
    std::vector<uint8_t> content = birdwriter::DecodeContent(std::vector<uint8_t>(bird.begin(), bird.end()));
    return std::string(content.begin(), content.end());
  } catch (const std::exception&) {
    return "";
  }
}

std::string StartUntilReady(const std::vector<std::string>& all, pid_t* pid) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    return "";
  std::vector<char*> argv = sArgv(all);
  *pid = fork();
  if (*pid == 0) {
    dup2(fds[1], 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  // The program prints what it serves, then "ready"; anything after goes
  // unread, so tests send logs to files.
  std::string text;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (text.find("\nready\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    struct pollfd p = {fds[0], POLLIN, 0};
    if (poll(&p, 1, 200) <= 0)
      continue;
    char buf[512];
    ssize_t n = read(fds[0], buf, sizeof(buf));
    if (n <= 0)
      break;
    text.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  size_t ready = text.find("\nready\n");
  return ready == std::string::npos ? "" : text.substr(0, ready);
}

LabServerProcess::LabServerProcess(const std::vector<std::string>& args) {
  std::vector<std::string> all = {BinPath("updater-lab"), "server", "--host", "127.0.0.1", "--port", "0"};
  all.insert(all.end(), args.begin(), args.end());
  url_ = StartUntilReady(all, &pid_);
}

int StopChild(pid_t* pid) {
  if (*pid <= 0)
    return -1;
  kill(*pid, SIGTERM);
  int status = 0;
  waitpid(*pid, &status, 0);
  *pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int LabServerProcess::Stop() { return StopChild(&pid_); }

LabServerProcess::~LabServerProcess() { Stop(); }

ProgramResult RunProgram(const std::vector<std::string>& args, const std::vector<std::string>& env, bool terminal) {
  ProgramResult result;
  int out[2] = {-1, -1}, err[2] = {-1, -1};
  bool made = pipe2(err, O_CLOEXEC) == 0 &&
              (terminal ? openpty(&out[0], &out[1], nullptr, nullptr, nullptr) == 0 : pipe2(out, O_CLOEXEC) == 0);
  if (!made)
    return result;
  if (terminal) {
    fcntl(out[0], F_SETFD, FD_CLOEXEC);
    fcntl(out[1], F_SETFD, FD_CLOEXEC);
  }
  auto start = std::chrono::steady_clock::now();
  std::vector<char*> argv = sArgv(args);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (const std::string& e : env)
      putenv(const_cast<char*>(e.c_str()));
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  sDrain(out[0], err[0], result.out, result.err);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

}  // namespace testsupport
