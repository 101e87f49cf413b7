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

bool sBringLoopbackUp() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  struct ifreq ifr;
  std::memset(&ifr, 0, sizeof(ifr));
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
  ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  close(fd);
  return ok;
}

void sWalk(int dirFd, const std::string& prefix, std::vector<std::string>& out) {
  int fd = dup(dirFd);
  DIR* d = fd >= 0 ? fdopendir(fd) : nullptr;
  if (!d) {
    if (fd >= 0)
      close(fd);
    return;
  }
  // A duplicate shares the offset of the descriptor it came from: without a
  // rewind, a second walk of a directory that has entries would find none.
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

bool EnterPrivateNetwork() {
  if (geteuid() != 0)
    return false;
  return unshare(CLONE_NEWNET) == 0 && sBringLoopbackUp();
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
