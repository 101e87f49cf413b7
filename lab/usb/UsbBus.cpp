#include "usb/UsbBus.h"

#include <umockdev.h>

#include <ftw.h>
#include <glob.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace lab {

namespace {

constexpr unsigned kBus = 1;
#define kOwnerFile "lab-owner"

int cbRemove(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

// Removes a directory tree without following symbolic links (the testbed's
// nodes link to pseudo-terminals).
void RemoveTree(const std::string& dir) { nftw(dir.c_str(), cbRemove, 16, FTW_DEPTH | FTW_PHYS); }

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char digits[3];
  for (uint8_t b : bytes) {
    std::snprintf(digits, sizeof(digits), "%02x", b);
    text += digits;
  }
  return text;
}

std::string TakeError(GError* error) {
  std::string text = error ? error->message : "unknown error";
  if (error)
    g_error_free(error);
  return text;
}

}  // namespace

// A killed lab cannot remove its testbed directory. Each lab marks its own
// with its process id, and the next lab removes those whose owner is gone;
// testbeds of other programs carry no mark and are left alone.
void UsbBus::RemoveStale() {
  glob_t found;
  if (glob("/tmp/umockdev.*/" kOwnerFile, 0, nullptr, &found) != 0)
    return;
  for (size_t i = 0; i < found.gl_pathc; ++i) {
    std::string mark = found.gl_pathv[i];
    FILE* file = std::fopen(mark.c_str(), "r");
    long pid = 0;
    bool read = file && std::fscanf(file, "%ld", &pid) == 1;
    if (file)
      std::fclose(file);
    if (!read || pid <= 0 || kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
      continue;
    std::string dir = mark.substr(0, mark.size() - std::strlen(kOwnerFile) - 1);
    RemoveTree(dir);
  }
  globfree(&found);
}

UsbBus::UsbBus() {
  RemoveStale();
  testbed_ = umockdev_testbed_new();
  if (!testbed_)
    return;
  gchar* root = umockdev_testbed_get_root_dir(testbed_);
  root_ = root ? root : "";
  g_free(root);
  FILE* mark = std::fopen((root_ + "/" + kOwnerFile).c_str(), "w");
  if (mark) {
    std::fprintf(mark, "%ld\n", static_cast<long>(getpid()));
    std::fclose(mark);
  }
}

UsbBus::~UsbBus() {
  // The testbed removes its directory when the last reference goes.
  if (testbed_)
    g_object_unref(testbed_);
}

uint8_t UsbBus::nextDevnum() {
  // Like a host controller: every arrival gets a fresh address, 1 is the root hub.
  devnum_ = devnum_ >= 127 ? 2 : static_cast<uint8_t>(devnum_ + 1);
  return devnum_;
}

bool UsbBus::plug(unsigned port, const UsbIdentity& identity, UMockdevIoctlBase* handler, UsbPlugged& plugged,
                  std::string& error) {
  if (!testbed_) {
    error = "no umockdev testbed";
    return false;
  }
  uint8_t devnum = nextDevnum();
  char node[32], sys[96];
  std::snprintf(node, sizeof(node), "bus/usb/%03u/%03u", kBus, devnum);
  std::snprintf(sys, sizeof(sys), "/devices/platform/lab-hcd/usb%u/%u-%u", kBus, kBus, port);
  plugged = UsbPlugged();
  plugged.devnode = std::string("/dev/") + node;
  plugged.syspath = std::string("/sys") + sys;

  if (!attach(plugged.devnode, handler, error))
    return false;
  char ids[64];
  std::snprintf(ids, sizeof(ids), "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\n", identity.vendorId, identity.productId);
  // Attribute values end in a line feed, as the kernel's do ("\\n" in the record).
  std::string record = std::string("P: ") + sys + "\nN: " + node + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n" +
                       "E: DEVNAME=" + plugged.devnode + "\n" + "A: busnum=" + std::to_string(kBus) + "\\n\n" +
                       "A: devnum=" + std::to_string(devnum) + "\\n\nA: speed=480\\n\nA: bConfigurationValue=1\\n\n" +
                       ids + "A: serial=" + identity.serialText + "\\n\nH: descriptors=" + Hex(UsbDescriptors(identity)) +
                       "\n";
  if (!add(record, error)) {
    error = "adding " + plugged.syspath + ": " + error;
    umockdev_testbed_detach_ioctl(testbed_, plugged.devnode.c_str(), nullptr);
    return false;
  }
  return true;
}

bool UsbBus::attach(const std::string& devnode, UMockdevIoctlBase* handler, std::string& error) {
  GError* failure = nullptr;
  if (umockdev_testbed_attach_ioctl(testbed_, devnode.c_str(), handler, &failure))
    return true;
  error = "attaching " + devnode + ": " + TakeError(failure);
  return false;
}

bool UsbBus::add(const std::string& record, std::string& error) {
  GError* failure = nullptr;
  if (umockdev_testbed_add_from_string(testbed_, record.c_str(), &failure))
    return true;
  error = TakeError(failure);
  return false;
}

bool UsbBus::plugHid(unsigned port, const UsbIdentity& identity, UMockdevIoctlBase* usbHandler,
                     UMockdevIoctlBase* hidHandler, const std::vector<uint8_t>& reportDescriptor,
                     UsbPlugged& plugged, std::string& error) {
  if (!plug(port, identity, usbHandler, plugged, error))
    return false;
  unsigned index = hidraws_++;
  char id[48], interface[160], hid[224], raw[256];
  std::snprintf(id, sizeof(id), "0003:%04X:%04X.%04X", identity.vendorId, identity.productId, index + 1);
  std::snprintf(interface, sizeof(interface), "%s/%u-%u:1.0", plugged.syspath.c_str() + 4, kBus, port);
  std::snprintf(hid, sizeof(hid), "%s/%s", interface, id);
  std::snprintf(raw, sizeof(raw), "%s/hidraw/hidraw%u", hid, index);
  plugged.hidraw = "/dev/hidraw" + std::to_string(index);

  if (!attach(plugged.hidraw, hidHandler, error))
    return false;
  char ids[96];
  std::snprintf(ids, sizeof(ids), "E: HID_ID=0003:%08X:%08X\n", identity.vendorId, identity.productId);
  std::string records[] = {
      std::string("P: ") + interface + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n" +
          "A: bInterfaceNumber=00\\n\nA: bInterfaceClass=03\\n\n",
      std::string("P: ") + hid + "\nE: SUBSYSTEM=hid\n" + ids + "E: HID_NAME=" + identity.product + "\n" +
          "E: HID_UNIQ=" + identity.serialText + "\nE: HID_PHYS=usb-lab-hcd-1/input0\n" +
          "H: report_descriptor=" + Hex(reportDescriptor) + "\n",
      std::string("P: ") + raw + "\nN: hidraw" + std::to_string(index) + "\nE: SUBSYSTEM=hidraw\n" +
          "E: DEVNAME=" + plugged.hidraw + "\nA: dev=247:" + std::to_string(index) + "\\n\nL: device=../../\n"};
  for (const std::string& record : records)
    if (!add(record, error))
      return false;
  plugged.hidrawMaster = umockdev_testbed_get_dev_fd(testbed_, plugged.hidraw.c_str());
  return true;
}

bool UsbBus::plugDriverNode(const std::string& serialText, UMockdevIoctlBase* handler, UsbPlugged& plugged,
                            std::string& error) {
  std::string name = "kovalink." + serialText;
  std::string sys = "/devices/virtual/kovalink/" + name;
  plugged.driverNode = "/dev/" + name;
  // The testbed cannot give a node name out a second time, so a node stays
  // once made; its handler fails the I/O of every handle opened while the
  // device is away.
  if (nodes_.count(name))
    return true;
  nodes_.insert(name);
  std::string record = "P: " + sys + "\nN: " + name + "\nE: SUBSYSTEM=kovalink\nE: DEVNAME=/dev/" + name + "\n";
  return attach("/dev/" + name, handler, error) && add(record, error);
}

void UsbBus::unplug(const UsbPlugged& plugged) {
  if (!testbed_ || plugged.syspath.empty())
    return;
  umockdev_testbed_remove_device(testbed_, plugged.syspath.c_str());
}

}  // namespace lab
