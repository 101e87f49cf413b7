// The USB transport against an emulated libusb: devices, descriptors and
// bulk transfers are scripted by the test.
#include <gtest/gtest.h>

#include <deque>
#include <errno.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LinkTestChannels.h"
#include "Log.h"
#include "RecordingDisplay.h"
#include "TestSupport.h"
#include "UserNotice.h"
#include "aLink.h"
#include "aStream.h"
#include "aStreamUSB.h"
#include "aStreamUSBBackend.h"
#include "aUSB.h"

namespace {

struct FakeDevice {
  uint16_t vendor;
  uint16_t product;
  std::string serial;
  const libusb_config_descriptor* config;
  int opens = 0;
};

struct FakeUsb {
  std::mutex mutex;
  std::deque<FakeDevice> devices;
  int claimResult = 0;
  std::deque<int> outResults;  // scripted results of OUT transfers; empty = success
  std::deque<int> inResults;   // scripted results of IN transfers
  std::vector<int> outLengths;
  unsigned int lastInTimeout = 0;
  linktest::Bytes outData;
  linktest::Bytes inData;
  int clearHalts = 0;
  int releases = 0;
  int releaseResult = 0;
  int closes = 0;
};

FakeUsb* gFake = nullptr;

FakeDevice* Dev(void* p) { return static_cast<FakeDevice*>(p); }

int cbInit(libusb_context** context) {
  *context = reinterpret_cast<libusb_context*>(gFake);
  return 0;
}
void cbExit(libusb_context*) {}
ssize_t cbList(libusb_context*, libusb_device*** list) {
  std::lock_guard<std::mutex> lock(gFake->mutex);
  *list = new libusb_device*[gFake->devices.size() + 1];
  size_t i = 0;
  for (FakeDevice& d : gFake->devices)
    (*list)[i++] = reinterpret_cast<libusb_device*>(&d);
  (*list)[i] = nullptr;
  return static_cast<ssize_t>(i);
}
void cbFreeList(libusb_device** list, int) { delete[] list; }
int cbDescriptor(libusb_device* device, libusb_device_descriptor* d) {
  memset(d, 0, sizeof(*d));
  d->idVendor = Dev(device)->vendor;
  d->idProduct = Dev(device)->product;
  d->iSerialNumber = 3;
  return 0;
}
int cbConfig(libusb_device* device, uint8_t, libusb_config_descriptor** config) {
  *config = const_cast<libusb_config_descriptor*>(Dev(device)->config);
  return 0;
}
void cbFreeConfig(libusb_config_descriptor*) {}
int cbOpen(libusb_device* device, libusb_device_handle** handle) {
  Dev(device)->opens++;
  *handle = reinterpret_cast<libusb_device_handle*>(device);
  return 0;
}
void cbClose(libusb_device_handle*) {
  std::lock_guard<std::mutex> lock(gFake->mutex);
  gFake->closes++;
}
int cbString(libusb_device_handle* handle, uint8_t, unsigned char* data, int length) {
  const std::string& s = Dev(handle)->serial;
  int n = std::min<int>(length, static_cast<int>(s.size()));
  memcpy(data, s.data(), n);
  return n;
}
int cbClaim(libusb_device_handle*, int) { return gFake->claimResult; }
int cbRelease(libusb_device_handle*, int) {
  std::lock_guard<std::mutex> lock(gFake->mutex);
  gFake->releases++;
  return gFake->releaseResult;
}
int cbTransfer(libusb_device_handle*, unsigned char endpoint, unsigned char* data, int length, int* done,
               unsigned int timeout) {
  std::unique_lock<std::mutex> lock(gFake->mutex);
  *done = 0;
  if (endpoint & 0x80) {
    gFake->lastInTimeout = timeout;
    if (!gFake->inResults.empty()) {
      int rc = gFake->inResults.front();
      gFake->inResults.pop_front();
      return rc;
    }
    if (gFake->inData.empty()) {
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return LIBUSB_ERROR_TIMEOUT;
    }
    *done = std::min<int>(length, static_cast<int>(gFake->inData.size()));
    memcpy(data, gFake->inData.data(), *done);
    gFake->inData.erase(gFake->inData.begin(), gFake->inData.begin() + *done);
    return 0;
  }
  gFake->outLengths.push_back(length);
  int rc = 0;
  if (!gFake->outResults.empty()) {
    rc = gFake->outResults.front();
    gFake->outResults.pop_front();
  }
  if (rc == 0) {
    gFake->outData.insert(gFake->outData.end(), data, data + length);
    *done = length;
  }
  return rc;
}
int cbClearHalt(libusb_device_handle*, unsigned char) {
  std::lock_guard<std::mutex> lock(gFake->mutex);
  gFake->clearHalts++;
  return 0;
}

const klusbBackend kFake = {cbInit,   cbExit,  cbList,   cbFreeList, cbDescriptor, cbConfig,  cbFreeConfig,
                            cbOpen,   cbClose, cbString, cbClaim,    cbRelease,    cbTransfer, cbClearHalt};

// One module interface (class FF/88/10) with a bulk IN and an interrupt OUT endpoint.
struct ModuleConfig {
  libusb_endpoint_descriptor endpoints[3] = {};
  libusb_interface_descriptor alternates[2] = {};
  libusb_interface_descriptor other = {};
  libusb_endpoint_descriptor otherEndpoints[2] = {};
  libusb_interface interfaces[2] = {};
  libusb_config_descriptor config = {};
  explicit ModuleConfig(bool withOut = true) {
    endpoints[0].bEndpointAddress = 0x81;
    endpoints[0].bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
    endpoints[1].bEndpointAddress = 0x83;  // isochronous: never used
    endpoints[1].bmAttributes = LIBUSB_TRANSFER_TYPE_ISOCHRONOUS;
    endpoints[2].bEndpointAddress = 0x02;
    endpoints[2].bmAttributes = LIBUSB_TRANSFER_TYPE_INTERRUPT;
    alternates[0].bInterfaceNumber = 1;
    alternates[0].bInterfaceClass = 0xFF;
    alternates[0].bInterfaceSubClass = 0x88;
    alternates[0].bInterfaceProtocol = 0x10;
    alternates[0].bNumEndpoints = 2;
    alternates[0].endpoint = endpoints;
    alternates[1] = alternates[0];
    alternates[1].bNumEndpoints = withOut ? 1 : 0;
    alternates[1].endpoint = endpoints + 2;
    // A vendor interface of another kind comes first and must be skipped.
    otherEndpoints[0].bEndpointAddress = 0x85;
    otherEndpoints[0].bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
    otherEndpoints[1].bEndpointAddress = 0x06;
    otherEndpoints[1].bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
    other.bInterfaceNumber = 0;
    other.bInterfaceClass = 0xFF;
    other.bInterfaceSubClass = 0x88;
    other.bInterfaceProtocol = 0x11;
    other.bNumEndpoints = 2;
    other.endpoint = otherEndpoints;
    interfaces[0].altsetting = &other;
    interfaces[0].num_altsetting = 1;
    interfaces[1].altsetting = alternates;
    interfaces[1].num_altsetting = 2;
    config.bNumInterfaces = 2;
    config.interface = interfaces;
  }
};

class UsbTest : public ::testing::Test {
protected:
  void SetUp() override {
    gFake = &fake;
    klusb_set_backend(&kFake);
  }
  void TearDown() override {
    klusb_set_backend(nullptr);
    gFake = nullptr;
  }
  FakeDevice& add(uint16_t vendor, uint16_t product, const std::string& serial, const ModuleConfig& config) {
    fake.devices.push_back(FakeDevice{vendor, product, serial, &config.config});
    return fake.devices.back();
  }
  FakeUsb fake;
  ModuleConfig good;
};

}  // namespace

TEST_F(UsbTest, EndpointSearchTakesTheLastModuleInterfaceAndItsEndpoints) {
  int iface = -1;
  uint8_t in = 0, out = 0;
  ASSERT_EQ(klusb_find_endpoints(&good.config, &iface, &in, &out), aErrNone);
  EXPECT_EQ(iface, 1);
  EXPECT_EQ(in, 0x81);
  EXPECT_EQ(out, 0x02);
  ModuleConfig noOut(false);
  EXPECT_EQ(klusb_find_endpoints(&noOut.config, &iface, &in, &out), aErrConfiguration);
  libusb_config_descriptor empty = {};
  EXPECT_EQ(klusb_find_endpoints(&empty, &iface, &in, &out), aErrConfiguration);
}

TEST_F(UsbTest, OpensOnlyTheMakersModuleWithTheExactSerialText) {
  FakeDevice& highProduct = add(aUSB_VENDOR_ID, 0x8001, "0001A2B3", good);
  FakeDevice& otherVendor = add(0x1234, 0x0004, "0001A2B3", good);
  FakeDevice& lowerCase = add(aUSB_VENDOR_ID, 0x0004, "1a2b3", good);
  aStream* stream = nullptr;
  EXPECT_EQ(aStream_CreateUSB(0x1A2B3, &stream), aErrNotFound);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(highProduct.opens, 0);
  EXPECT_EQ(otherVendor.opens, 0);
  EXPECT_EQ(lowerCase.opens, 1);
  EXPECT_EQ(fake.closes, 1);
  EXPECT_EQ(aStream_CreateUSB(0, &stream), aErrParam);

  ModuleConfig noOut(false);
  add(aUSB_VENDOR_ID, 0x0005, "00C0FFEE", noOut);
  EXPECT_EQ(aStream_CreateUSB(0xC0FFEE, &stream), aErrConfiguration);
  // Every handle that was opened and not kept is closed again.
  auto opens = [&] {
    int total = 0;
    for (const FakeDevice& d : fake.devices)
      total += d.opens;
    return total;
  };
  EXPECT_EQ(fake.closes, opens());

  add(aUSB_VENDOR_ID, 0x0004, "0001A2B3", good);
  ASSERT_EQ(aStream_CreateUSB(0x1A2B3, &stream), aErrNone);
  // Writes leave in chunks of at most 50 bytes.
  uint8_t block[120];
  for (int i = 0; i < 120; i++)
    block[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(aStream_Write(stream, block, 120), aErrNone);
  EXPECT_EQ(fake.outLengths, (std::vector<int>{50, 50, 20}));
  EXPECT_EQ(fake.outData, linktest::Bytes(block, block + 120));
  // Reads hand out the bytes of one IN transfer one by one.
  fake.inData = {7, 8};
  uint8_t two[2];
  EXPECT_EQ(aStream_Read(stream, two, 2), aErrNone);
  EXPECT_EQ(two[1], 8);
  EXPECT_EQ(aStream_Read(stream, two, 1), aErrNotReady);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  EXPECT_EQ(fake.releases, 1);
  EXPECT_EQ(fake.closes, opens());
}

TEST_F(UsbTest, TransportStatesAndTransferErrors) {
  add(aUSB_VENDOR_ID, 0x0004, "0000BEEF", good);
  klusb* usb = klusb_create_usb(klusbModeLibusb);
  ASSERT_NE(usb, nullptr);
  EXPECT_EQ(klusb_get_state(usb), klusbStateCreated);
  const uint8_t bytes[30] = {1};
  uint8_t byte;
  EXPECT_EQ(klusb_write_to_device(usb, bytes, 30), aErrNotReady);
  EXPECT_EQ(klusb_get_from_device(usb, &byte), aErrNotReady);

  fake.claimResult = LIBUSB_ERROR_BUSY;
  EXPECT_EQ(klusb_open_kovalink_device(usb, "0000BEEF"), aErrBusy);
  EXPECT_EQ(klusb_get_state(usb), klusbStateClosed);
  EXPECT_EQ(klusb_write_to_device(usb, bytes, 30), aErrConnection);
  fake.claimResult = LIBUSB_ERROR_ACCESS;
  EXPECT_EQ(klusb_open_kovalink_device(usb, "0000BEEF"), aErrPermission);
  fake.claimResult = 0;
  ASSERT_EQ(klusb_open_kovalink_device(usb, "0000BEEF"), aErrNone);
  EXPECT_EQ(klusb_get_state(usb), klusbStateOpen);

  // A halted endpoint is cleared and the chunk sent again.
  fake.outResults = {LIBUSB_ERROR_PIPE};
  EXPECT_EQ(klusb_write_to_device(usb, bytes, 30), aErrNone);
  EXPECT_EQ(fake.outLengths, (std::vector<int>{30, 30}));
  EXPECT_EQ(fake.clearHalts, 1);
  // One other failure is retried once with the rest of the chunk.
  fake.outResults = {LIBUSB_ERROR_TIMEOUT};
  EXPECT_EQ(klusb_write_to_device(usb, bytes, 30), aErrNone);
  fake.inResults = {LIBUSB_ERROR_PIPE};
  EXPECT_EQ(klusb_get_from_device(usb, &byte), aErrNotReady);
  EXPECT_EQ(fake.clearHalts, 2);

  // A transfer error marks the transport failed; writes then fail.
  fake.inResults = {LIBUSB_ERROR_IO};
  EXPECT_EQ(klusb_get_from_device(usb, &byte), aErrIO);
  EXPECT_EQ(klusb_get_state(usb), klusbStateFailed);
  EXPECT_EQ(klusb_write_to_device(usb, bytes, 30), aErrIO);
  EXPECT_EQ(klusb_get_from_device(usb, &byte), aErrIO);

  // A device gone before its interface is released still closes; the failure
  // goes to the link's debug-log package, not to the program's output.
  fake.releaseResult = LIBUSB_ERROR_NO_DEVICE;
  FILE* log = tmpfile();
  ASSERT_NE(log, nullptr);
  FILE* before = Log::fh;
  Log::SetOutput(log);
  Log::ActivatePackage(DEBUG_Network);
  EXPECT_EQ(klusb_close_kovalink_device(usb), aErrNone);
  Log::DeactivatePackage(DEBUG_Network);
  Log::SetOutput(before);
  EXPECT_EQ(klusb_get_state(usb), klusbStateClosed);
  char logged[64] = {};
  rewind(log);
  EXPECT_STREQ(fgets(logged, sizeof(logged), log), "error release -4\n");
  fclose(log);
  // Any other release failure is unexpected: the user reads it, in words.
  ASSERT_EQ(klusb_open_kovalink_device(usb, "0000BEEF"), aErrNone);
  fake.releaseResult = LIBUSB_ERROR_IO;
  RecordingDisplay display;
  UserNotice::SetDisplay(&display);
  EXPECT_EQ(klusb_close_kovalink_device(usb), aErrNone);
  UserNotice::SetDisplay(nullptr);
  EXPECT_EQ(display.Errors(), std::vector<std::string>{
                                  "Could not release the USB interface of module 0000BEEF: Input/Output Error"});
  fake.releaseResult = 0;
  EXPECT_EQ(klusb_get_from_device(usb, &byte), aErrConnection);
  EXPECT_EQ(klusb_close_kovalink_device(usb), aErrMode);
  EXPECT_EQ(klusb_destroy(&usb), aErrNone);
  EXPECT_EQ(usb, nullptr);

  // A device that never takes the data: 100 passes, then a write error.
  usb = klusb_create_usb(klusbModeLibusb);
  ASSERT_EQ(klusb_open_kovalink_device(usb, "0000BEEF"), aErrNone);
  fake.outLengths.clear();
  fake.outResults.assign(200, LIBUSB_ERROR_IO);
  EXPECT_EQ(klusb_write_to_device(usb, bytes, 30), aErrWrite);
  EXPECT_EQ(fake.outLengths.size(), 200u);
  klusb_destroy(&usb);
  // The kernel node path needs its node; without one the open fails.
  usb = klusb_create_usb(klusbModeKernel);
  EXPECT_EQ(klusb_open_kovalink_device(usb, "0000BEEF"), aErrIO);
  EXPECT_EQ(klusb_open_kovalink_device(usb, nullptr), aErrParam);
  klusb_destroy(&usb);
}

// The wait is the bulk read itself, bounded by the caller's time-out (never
// by 0, which libusb takes as no limit); what it brings is handed out by get.
TEST_F(UsbTest, WaitReadsAheadWithinItsTimeout) {
  add(aUSB_VENDOR_ID, 0x0004, "0000BEEF", good);
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateUSB(0xBEEF, &stream), aErrNone);
  EXPECT_EQ(aStream_AwaitReadable(stream, 20), aErrNotReady);
  EXPECT_EQ(fake.lastInTimeout, 20u);
  EXPECT_EQ(aStream_AwaitReadable(stream, 0), aErrNotReady);
  EXPECT_EQ(fake.lastInTimeout, 1u);
  EXPECT_EQ(aStream_AwaitReadable(stream, 5000), aErrNotReady);
  EXPECT_EQ(fake.lastInTimeout, 100u);
  {
    std::lock_guard<std::mutex> lock(fake.mutex);
    fake.inData = {7, 8, 9};
  }
  EXPECT_EQ(aStream_AwaitReadable(stream, 20), aErrNone);
  EXPECT_TRUE(fake.inData.empty());
  uint8_t bytes[3];
  ASSERT_EQ(aStream_Read(stream, bytes, 3), aErrNone);
  EXPECT_EQ(bytes[2], 9);
  // A failed transport counts as readable: get reports the failure.
  fake.inResults = {LIBUSB_ERROR_IO};
  EXPECT_EQ(aStream_AwaitReadable(stream, 20), aErrNone);
  EXPECT_EQ(aStream_Read(stream, bytes, 1), aErrIO);
  aStream_Destroy(&stream);
}

TEST_F(UsbTest, TwoLinksToOneModuleShareTheReference) {
  add(aUSB_VENDOR_ID, 0x0004, "0001A2B3", good);
  linkRef first = aLink_CreateUSB(0x1A2B3);
  ASSERT_NE(first, 0u);
  linkRef second = aLink_CreateUSB(0x1A2B3);
  EXPECT_EQ(second, first);
  EXPECT_EQ(aLink_CreateUSB(0x1A2B4), 0u);

  {
    std::lock_guard<std::mutex> lock(fake.mutex);
    fake.inData = {0x02, 0x02, 0x00, 0x01};
  }
  auto out = [&] {
    std::lock_guard<std::mutex> lock(fake.mutex);
    return fake.outData;
  };
  ASSERT_TRUE(linktest::WaitUntil([&] { return linktest::Find(out(), {0x02, 0x02, 0x00, 0x03}) >= 0; }, 2000));
  EXPECT_EQ(linktest::Find(out(), {0xAF, 0x01, 0x01}), 0);

  EXPECT_EQ(aLink_Destroy(&first), aErrNone);
  EXPECT_EQ(aLink_GetStatus(second), aLinkStatusRunning);
  EXPECT_EQ(linktest::Find(out(), {0xAF, 0x01, 0x00}), -1);
  EXPECT_EQ(aLink_Destroy(&second), aErrNone);
  linktest::Bytes wire = out();
  ASSERT_GE(wire.size(), 3u);
  EXPECT_EQ(linktest::Bytes(wire.end() - 3, wire.end()), (linktest::Bytes{0xAF, 0x01, 0x00}));
  EXPECT_EQ(fake.releases, 1);
}

// The kernel driver's node, stood in for by a plain file in a private /dev
// (a mount namespace of this test's thread only): the stream must pick the
// node over libusb and move bytes through it.
TEST_F(UsbTest, KernelNodeIsPreferredWhenItExists) {
  if (!testsupport::IsRoot())
    GTEST_SKIP() << "needs root for a private mount namespace";
  std::thread worker([&] {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/dev", "tmpfs", 0, nullptr) != 0) {
      ADD_FAILURE() << "no private /dev: " << strerror(errno);
      return;
    }
    add(aUSB_VENDOR_ID, 0x0004, "00ABCDEF", good);  // also on "USB": must not be used
    EXPECT_FALSE(klusb_is_kernel_driver_installed(0xABCDEF));
    ASSERT_TRUE(testsupport::WriteFile("/dev/kovalink.00ABCDEF", std::string("\x02\x02\x00\x01", 4)));
    EXPECT_TRUE(klusb_is_kernel_driver_installed(0xABCDEF));
    ASSERT_EQ(mkdir("/dev/kovalink.00000042", 0700), 0);
    EXPECT_FALSE(klusb_is_kernel_driver_installed(0x42));

    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateUSB(0xABCDEF, &stream), aErrNone);
    EXPECT_EQ(fake.devices.back().opens, 0);
    uint8_t frame[4];
    ASSERT_EQ(aStream_Read(stream, frame, 4), aErrNone);
    EXPECT_EQ(frame[3], 0x01);
    EXPECT_EQ(aStream_Read(stream, frame, 1), aErrNotReady);
    // A node that always polls readable but just read dry makes the wait pace
    // itself rather than send the reader round at full speed.
    EXPECT_EQ(aStream_AwaitReadable(stream, 50), aErrNotReady);
    const uint8_t answer[4] = {0x02, 0x02, 0x00, 0x03};
    ASSERT_EQ(aStream_Write(stream, answer, 4), aErrNone);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_EQ(testsupport::ReadFile("/dev/kovalink.00ABCDEF"), std::string("\x02\x02\x00\x01\x02\x02\x00\x03", 8));
  });
  worker.join();
}
