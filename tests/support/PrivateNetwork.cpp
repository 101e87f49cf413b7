#include "PrivateNetwork.h"

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <pwd.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace testsupport {

namespace {

bool sWriteFile(const char* path, const std::string& text) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

// Without root, a user namespace of our own (mapping only our own ids, so the
// process keeps its identity for files) owns the new network namespace. The
// kernel allows this only while the process has a single thread.
std::string sEnterAsUser() {
  uid_t uid = getuid();
  gid_t gid = getgid();
  if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
    return std::string("needs root or unprivileged user namespaces for a private network namespace (") +
           std::strerror(errno) + ")";
  std::string uidMap = std::to_string(uid) + " " + std::to_string(uid) + " 1";
  std::string gidMap = std::to_string(gid) + " " + std::to_string(gid) + " 1";
  if (!sWriteFile("/proc/self/uid_map", uidMap) || !sWriteFile("/proc/self/setgroups", "deny") ||
      !sWriteFile("/proc/self/gid_map", gidMap))
    return std::string("cannot map ids in the user namespace: ") + std::strerror(errno);
  return "";
}

void sWalk(int dirFd, const std::string& prefix, std::vector<std::string>& out) {
  int fd = dup(dirFd);
  DIR* d = fd >= 0 ? fdopendir(fd) : nullptr;
  if (!d) {
    if (fd >= 0)
      close(fd);
    return;
  }
  // The duplicate shares the original's position: without this, a second
  // walk of the same directory would start at its end and see nothing.
  rewinddir(d);
  while (dirent* e = readdir(d)) {
    if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, ".."))
      continue;
    struct stat st;
    if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
      continue;
    std::string name = prefix + e->d_name;
    out.push_back(name + " " + std::to_string(S_ISDIR(st.st_mode) ? 0 : st.st_size));
    if (S_ISDIR(st.st_mode)) {
      int sub = openat(dirfd(d), e->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (sub >= 0) {
        sWalk(sub, name + "/", out);
        close(sub);
      }
    }
  }
  closedir(d);
}

}  // namespace

bool BringUpLoopback(std::string& why) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct ifreq ifr;
  std::memset(&ifr, 0, sizeof(ifr));
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
  ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  if (!ok)
    why = std::string("cannot bring up lo: ") + std::strerror(errno);
  if (fd >= 0)
    close(fd);
  return ok;
}

bool EnterPrivateNetwork(std::string* why) {
  static int state = 0;  // 0 not tried, 1 inside, -1 failed
  static std::string reason;
  if (state == 0) {
    if (geteuid() != 0)
      reason = sEnterAsUser();
    else if (unshare(CLONE_NEWNET) != 0)
      reason = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
    state = reason.empty() && BringUpLoopback(reason) ? 1 : -1;
  }
  if (why)
    *why = reason;
  return state == 1;
}

PrivateStore::PrivateStore(const std::string& dir) {
  if (geteuid() != 0) {
    error_ = "needs root for a private mount namespace";
    return;
  }
  struct passwd* pw = getpwuid(getuid());
  if (!pw || !pw->pw_dir) {
    error_ = "no home directory in the user database";
    return;
  }
  target_ = std::string(pw->pw_dir) + "/.tessoral";
  const std::string& target = target_;
  mkdir(target.c_str(), 0755);
  // Opened before the bind mount: lookups through it stay on the real directory.
  realFd_ = open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (realFd_ < 0 || unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount(dir.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    error_ = "private store mount failed: " + std::string(std::strerror(errno));
    return;
  }
  ok_ = true;
}

PrivateStore::~PrivateStore() {
  if (ok_)
    umount2(target_.c_str(), MNT_DETACH);
  if (realFd_ >= 0)
    close(realFd_);
}

std::vector<std::string> PrivateStore::RealSnapshot() const {
  std::vector<std::string> out;
  if (realFd_ >= 0)
    sWalk(realFd_, "", out);
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace testsupport
