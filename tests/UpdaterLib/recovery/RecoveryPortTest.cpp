// A serial port the user may not open ends the fingerprint command at once
// with the remedy: no i.MX attempt, so no recovery image asked of the server. Root opens any
// port, so the command runs as an unprivileged user in a child process.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "PrivateNetwork.h"
#include "RecordingDisplay.h"
#include "TestSupport.h"
#include "Updater.h"

namespace {

const uid_t kNobody = 65534;

// What the fingerprint command shows when run as `kNobody` on `port`.
std::string FingerprintAsNobody(const std::string& port, const std::string& store) {
  int fds[2];
  if (pipe(fds) != 0)
    return "pipe failed";
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    if (!testsupport::EnterPrivateNetwork() || setgid(kNobody) != 0 || setuid(kNobody) != 0)
      _exit(2);
    RecordingDisplay display;
    Updater updater("http://127.0.0.1:9/cgi/u", store.c_str(), display);
    FingerprintOutcome outcome = updater.Read_Fingerprint(port, 0xDEADDEAD, "", 115200, true);
    std::string text = outcome.read ? "ok\n" : "";
    if (outcome.chipTried)
      text += "a chip was tried\n";
    for (const std::string& line : display.Tagged())
      text += line + "\n";
    ssize_t n = write(fds[1], text.data(), text.size());
    _exit(n == ssize_t(text.size()) ? 0 : 3);
  }
  close(fds[1]);
  std::string text;
  char buffer[256];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof(buffer))) > 0)
    text.append(buffer, size_t(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return "child failed with status " + std::to_string(status);
  return text;
}

}  // namespace

TEST(RecoveryPort, PermissionFailureEndsTheFingerprintThere) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to make a port that another user may not open";
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  std::string port = ptsname(master);
  ASSERT_EQ(chown(port.c_str(), 0, 0), 0);
  ASSERT_EQ(chmod(port.c_str(), 0600), 0);
  testsupport::TempDir store;
  ASSERT_EQ(chmod(store.path().c_str(), 0777), 0);

  // The remedy, in one line; nothing was sent, so no summary of a silent chip follows.
  EXPECT_EQ(FingerprintAsNobody(port, store.path()),
            "E:Permission denied on serial port " + port +
                ": join the dialout group (sudo usermod -aG dialout $USER) and log in again\n");
  close(master);
}
