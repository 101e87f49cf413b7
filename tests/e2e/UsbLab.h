// An emulated USB bus with lab modules in the test process, and the real
// updater run against it under the umockdev preload, inside a private network
// namespace with a private store (-U falls back to TCP/IP discovery).
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "LabServerSupport.h"
#include "usb/UsbHost.h"
#include "PrivateNetwork.h"
#include "TestSupport.h"

namespace usbtest {

class UsbLab {
public:
  // `modules`: one spec each, as for `updater-lab usb --module` (may be none).
  explicit UsbLab(const std::vector<std::string>& modules);
  ~UsbLab();

  // Empty when the lab runs; otherwise why not (the test skips without root).
  const std::string& skipReason() const { return skip_; }
  const std::string& error() const { return error_; }
  lab::LabUsbHost& host() { return *host_; }
  const std::string& storeDir() const { return store_.path(); }

  testsupport::ProgramResult runUpdater(const std::vector<std::string>& args);
  // The updater as a user without a password entry (its home from HOME), as a
  // user without rights on the devices would run it.
  testsupport::ProgramResult runUpdaterAs(unsigned uid, const std::string& home, const std::vector<std::string>& args);
  const std::string& umockdevDir() const { return root_; }
  // Any built program (build/bin/NAME) under the preload.
  testsupport::ProgramResult run(const std::string& program, const std::vector<std::string>& args);
  // Waits until the module is on the bus again after leaving it (or the time runs out).
  bool waitForArrivals(uint32_t serial, unsigned arrivals, int timeoutMs = 5000);

private:
  std::string skip_;
  std::string error_;
  testsupport::TempDir store_;
  std::unique_ptr<testsupport::PrivateStore> privateStore_;
  std::unique_ptr<lab::LabUsbHost> host_;
  std::string root_;
};

}  // namespace usbtest
