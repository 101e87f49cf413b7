// Devices refused for lack of permission: one line on the standard error
// stream that says what grants access, instead of an error code alone.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "TestSupport.h"
#include "aStream.h"
#include "aStreamUSB.h"
#include "aStreamUSBBackend.h"
#include "aUSB.h"

namespace {

// Runs `body` in a child whose standard error stream goes to a file; returns
// the child's exit status and what it wrote there.
template <typename Body>
int RunCapturingStderr(const testsupport::TempDir& dir, Body body, std::string* err) {
  std::string path = dir.file("stderr");
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || dup2(fd, 2) < 0)
      _exit(100);
    _exit(body());
  }
  int status = -1;
  waitpid(pid, &status, 0);
  *err = testsupport::ReadFile(path);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int CountLines(const std::string& text) {
  int n = 0;
  for (char c : text)
    n += c == '\n';
  return n;
}

// One module on the bus that the system will not let this user open.
libusb_device* const kDevice = reinterpret_cast<libusb_device*>(0x1);
int cbInit(libusb_context** context) {
  *context = reinterpret_cast<libusb_context*>(0x1);
  return 0;
}
void cbExit(libusb_context*) {}
ssize_t cbList(libusb_context*, libusb_device*** list) {
  *list = new libusb_device* [2] { kDevice, nullptr };
  return 1;
}
void cbFreeList(libusb_device** list, int) { delete[] list; }
int cbDescriptor(libusb_device*, libusb_device_descriptor* d) {
  *d = {};
  d->idVendor = aUSB_VENDOR_ID;
  d->idProduct = 0x0011;
  d->iSerialNumber = 3;
  return 0;
}
int cbOpenDenied(libusb_device*, libusb_device_handle**) { return LIBUSB_ERROR_ACCESS; }

}  // namespace

TEST(Access, UsbDeviceRefusedByTheSystemNamesTheUdevRulesOnce) {
  static const klusbBackend denied = {cbInit, cbExit, cbList, cbFreeList, cbDescriptor, nullptr, nullptr,
                                      cbOpenDenied, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  testsupport::TempDir dir;
  std::string err;
  int status = RunCapturingStderr(
      dir,
      [] {
        klusb_set_backend(&denied);
        klusb* usb = klusb_create_usb(klusbModeLibusb);
        if (!usb)
          return 10;
        // The update looks a module up more than once; the advice comes once.
        aErr first = klusb_open_kovalink_device(usb, "0000BEEF");
        aErr second = klusb_open_kovalink_device(usb, "0000BEEF");
        klusb_destroy(&usb);
        return first == aErrNone || second == aErrNone ? 11 : 0;
      },
      &err);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(CountLines(err), 1) << err;
  EXPECT_EQ(err.find("Permission denied on USB device 24FF:0011: "), 0u) << err;
  EXPECT_NE(err.find("udev rules /"), std::string::npos) << err;
  EXPECT_NE(err.find("/lib/udev/rules.d/70-kovalink.rules"), std::string::npos) << err;
}

TEST(Access, SerialPortRefusedByTheSystemNamesItsGroupAndTheGroupGrantsIt) {
  if (!testsupport::IsRoot())
    GTEST_SKIP() << "needs root to run as another user";
  struct group* dialout = getgrnam("dialout");
  if (!dialout)
    GTEST_SKIP() << "this system has no dialout group";
  gid_t dialoutGid = dialout->gr_gid;
  // A pseudo-terminal stands in for the port, owned like a serial port: root,
  // group dialout, mode 0660.
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  std::string port = ptsname(master);
  ASSERT_EQ(chown(port.c_str(), 0, dialoutGid), 0);
  ASSERT_EQ(chmod(port.c_str(), 0660), 0);

  // Opens the port as the user nobody, in the dialout group or not.
  auto openAsNobody = [&](bool inDialout) {
    return [&, inDialout] {
      gid_t groups[1] = {dialoutGid};
      if (setgroups(inDialout ? 1 : 0, groups) != 0 || setresgid(65534, 65534, 65534) != 0 ||
          setresuid(65534, 65534, 65534) != 0)
        return 20;
      aStream* stream = nullptr;
      aErr first = aStream_CreateSerial(port.c_str(), 6, 0, 0, 0, &stream);
      if (stream)
        aStream_Destroy(&stream);
      aErr second = aStream_CreateSerial(port.c_str(), 6, 0, 0, 0, &stream);
      if (stream)
        aStream_Destroy(&stream);
      return first == aErrPermission && second == aErrPermission ? 1 : first == aErrNone ? 0 : 30 + first;
    };
  };
  testsupport::TempDir dir;
  std::string err;
  EXPECT_EQ(RunCapturingStderr(dir, openAsNobody(false), &err), 1);
  EXPECT_EQ(err, "Permission denied on serial port " + port +
                     ": join the dialout group (sudo usermod -aG dialout $USER) and log in again\n");
  // The advice is right: in that group the same user opens the port, silently.
  EXPECT_EQ(RunCapturingStderr(dir, openAsNobody(true), &err), 0);
  EXPECT_EQ(err, "");
  close(master);
}
