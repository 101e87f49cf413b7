// The emulated USB bus cleans up after labs that were killed, and only after those.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "TestSupport.h"
#include "usb/UsbBus.h"

namespace {

std::string MakeTestbedDir(const std::string& name, long ownerPid) {
  std::string dir = "/tmp/umockdev." + name;
  mkdir(dir.c_str(), 0755);
  mkdir((dir + "/dev").c_str(), 0755);
  symlink("/dev/null", (dir + "/dev/node").c_str());
  if (ownerPid)
    testsupport::WriteFile(dir + "/lab-owner", std::to_string(ownerPid) + "\n");
  return dir;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace

TEST(UsbBus, RemovesTestbedsOfDeadLabsOnly) {
  pid_t dead = fork();
  if (dead == 0)
    _exit(0);
  waitpid(dead, nullptr, 0);
  std::string stale = MakeTestbedDir("labtest-dead-" + std::to_string(getpid()), dead);
  std::string alive = MakeTestbedDir("labtest-alive-" + std::to_string(getpid()), getpid());
  std::string foreign = MakeTestbedDir("labtest-foreign-" + std::to_string(getpid()), 0);

  lab::UsbBus bus;
  ASSERT_TRUE(bus.ok());
  EXPECT_FALSE(Exists(stale));
  EXPECT_TRUE(Exists(alive));
  EXPECT_TRUE(Exists(foreign));
  EXPECT_TRUE(Exists("/dev/null"));  // links were removed, not followed
  EXPECT_TRUE(Exists(bus.root() + "/lab-owner"));
  for (const std::string& dir : {alive, foreign})
    std::system(("rm -rf '" + dir + "'").c_str());
}
