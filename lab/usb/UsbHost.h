// Serves lab modules on an emulated USB bus. A thread of its own ticks the
// modules (heartbeats, reboot delays) and turns their comings and goings into
// arrivals and removals on the bus; umockdev's thread runs the gadgets.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "usb/DriverNode.h"
#include "usb/HidGadget.h"
#include "sim/Module.h"
#include "usb/UsbBus.h"
#include "usb/UsbGadget.h"
#include "usb/UsbLabConfig.h"
#include "usb/UsbModuleLink.h"

namespace lab {

class LabUsbHost {
public:
  explicit LabUsbHost(const UsbLabConfig& config);
  ~LabUsbHost();
  LabUsbHost(const LabUsbHost&) = delete;
  LabUsbHost& operator=(const LabUsbHost&) = delete;

  // Builds the modules, plugs them and starts the thread.
  bool start(std::string& error);
  void stop();

  // UMOCKDEV_DIR for programs that are to see this bus.
  const std::string& umockdevDir() const { return bus_->root(); }
  std::vector<std::string> describe() const;

  // Views for checks; zero or empty for unknown serial numbers.
  UsbTraffic traffic(uint32_t serial) const;
  SimModuleStats stats(uint32_t serial) const;
  uint32_t build(uint32_t serial) const;
  std::vector<uint8_t> firmware(uint32_t serial) const;
  // How often the module arrived on the bus, and under which serial text last.
  unsigned arrivals(uint32_t serial) const;
  std::string serialText(uint32_t serial) const;
  bool onBus(uint32_t serial) const;
  // Bytes the host wrote through the module's driver node, over all arrivals.
  unsigned driverNodeBytes(uint32_t serial) const;

  // Adds an i.MX boot ROM's HID device (0x1FC9:0x0130) whose reports go to
  // `sink`, which must outlive the host. Its hidraw node, or empty (see error).
  std::string plugBootRomHid(HidReportSink& sink, std::string& error);

  // A module that joins the bus while the lab runs (a loader a boot ROM
  // started). It arrives at the next tick; when it leaves the bus it is gone
  // for good and `left` is called with the lab's lock held (what comes after
  // it is the caller's to join). Callable from any thread, lock held or not.
  using LeftHandler = std::function<void(const SimModule&)>;
  void join(const UsbLabModule& module, LeftHandler left);

private:
  struct Slot {
    UsbModuleOptions usb;
    SimModule* module = nullptr;
    std::unique_ptr<UsbModuleLink> link;
    std::unique_ptr<UsbFaults> faults;
    UsbTraffic traffic;
    std::vector<std::unique_ptr<UsbGadget>> gadgets;  // every arrival; the last is on the bus
    std::map<std::string, std::unique_ptr<DriverNode>> nodes;  // by serial text, with a driver node
    UsbPlugged plugged;
    unsigned port = 0;
    bool onBus = false;
    bool unplugged = false;  // left for good (unplug knob)
    unsigned rebootsAtPlug = 0;
    bool loaderComesBack = false;  // it left without a reboot: its loader returns
    unsigned arrivals = 0;
    std::string serialText;
    LeftHandler left;  // joined at run time: leaves for good
  };

  // A HID device's parts; its USB device carries no bulk traffic.
  struct HidSlot {
    std::unique_ptr<UsbFunction> idle;
    std::unique_ptr<UsbFaults> faults;
    UsbTraffic traffic;
    std::unique_ptr<UsbGadget> usb;
    std::unique_ptr<HidGadget> hid;
    UsbPlugged plugged;
  };

  bool plug(Slot& slot, std::string& error);
  void addJoined();
  void run();
  void step();
  const Slot* find(uint32_t serial) const;
  const SimModule* module(uint32_t serial) const;

  UsbLabConfig config_;
  std::unique_ptr<UsbBus> bus_;
  std::vector<std::unique_ptr<SimModule>> modules_;
  std::deque<Slot> slots_;  // gadgets keep references into their slot
  unsigned nextPort_ = 1;
  std::vector<std::unique_ptr<HidSlot>> hids_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
  std::mutex joinMutex_;  // taken alone, or last
  std::vector<std::pair<UsbLabModule, LeftHandler>> joining_;
};

}  // namespace lab
