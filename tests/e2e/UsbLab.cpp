#include "UsbLab.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "LabNetwork.h"
#include "TestSupport.h"

namespace usbtest {

UsbLab::UsbLab(const std::vector<std::string>& modules) {
  std::string why;
  if (!testsupport::EnterPrivateNetwork(&why)) {
    skip_ = "needs a private network namespace: " + why;
    return;
  }
  privateStore_ = std::make_unique<testsupport::PrivateStore>(store_.path());
  if (!privateStore_->ok()) {
    skip_ = privateStore_->error();
    return;
  }
  std::vector<std::string> args;
  for (const std::string& module : modules) {
    args.push_back("--module");
    args.push_back(module);
  }
  lab::UsbLabConfig config;
  // No modules at all is a bus for what joins it later (a boot ROM's loader).
  if (!modules.empty() && !lab::ParseUsbLabArguments(args, config, error_))
    return;
  host_ = std::make_unique<lab::LabUsbHost>(config);
  if (!host_->start(error_))
    return;
  root_ = host_->umockdevDir();
}

UsbLab::~UsbLab() {
  host_.reset();
  // A testbed that outlived a crash of its owner is not ours to clean here;
  // this one is, should its own clean-up have been cut short.
  if (!root_.empty() && root_.compare(0, 14, "/tmp/umockdev.") == 0 && access(root_.c_str(), F_OK) == 0)
    std::system(("rm -rf '" + root_ + "'").c_str());
}

testsupport::ProgramResult UsbLab::runUpdater(const std::vector<std::string>& args) { return run("updater", args); }

testsupport::ProgramResult UsbLab::run(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {testsupport::BinPath(program)};
  argv.insert(argv.end(), args.begin(), args.end());
  // An ASan-built updater refuses to run when the preload library comes before its runtime.
  const char* asan = std::getenv("ASAN_OPTIONS");
  std::string asanOptions = std::string("ASAN_OPTIONS=") + (asan && *asan ? std::string(asan) + ":" : "") +
                            "verify_asan_link_order=0";
  return testsupport::RunProgram(argv, {"LD_PRELOAD=libumockdev-preload.so.0", "UMOCKDEV_DIR=" + root_, asanOptions});
}

testsupport::ProgramResult UsbLab::runUpdaterAs(unsigned uid, const std::string& home,
                                                const std::vector<std::string>& args) {
  const std::string id = std::to_string(uid);
  std::vector<std::string> argv = {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups",
                                   testsupport::BinPath("updater")};
  argv.insert(argv.end(), args.begin(), args.end());
  return testsupport::RunProgram(argv, {"LD_PRELOAD=libumockdev-preload.so.0", "UMOCKDEV_DIR=" + root_,
                                        "HOME=" + home, "ASAN_OPTIONS=verify_asan_link_order=0"});
}

bool UsbLab::waitForArrivals(uint32_t serial, unsigned arrivals, int timeoutMs) {
  return testsupport::WaitUntil([&] { return host_->arrivals(serial) >= arrivals && host_->onBus(serial); },
                                timeoutMs);
}

}  // namespace usbtest
