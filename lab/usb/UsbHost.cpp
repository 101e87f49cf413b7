#include "usb/UsbHost.h"

#include <chrono>
#include <cstdio>

#include "sim/ModuleHost.h"

namespace lab {

namespace {

constexpr int kTickMs = 10;
constexpr uint16_t kBootRomVendorId = 0x1FC9;
constexpr uint16_t kBootRomProductId = 0x0130;

// A function for a device whose bulk endpoints nobody uses.
class IdleFunction : public UsbFunction {
public:
  void claimed() override {}
  void released() override {}
  void received(const uint8_t*, size_t) override {}
  size_t waiting() const override { return 0; }
  void take(size_t, std::vector<uint8_t>&) override {}
};

std::string SerialText(uint32_t serial) {
  char text[16];
  std::snprintf(text, sizeof(text), "%08X", serial);
  return text;
}

}  // namespace

LabUsbHost::LabUsbHost(const UsbLabConfig& config) : config_(config), bus_(std::make_unique<UsbBus>()) {}

LabUsbHost::~LabUsbHost() {
  stop();
  // The testbed goes first, so no handler runs while the gadgets are freed.
  bus_.reset();
  std::lock_guard<std::mutex> lock(mutex_);
  for (Slot& slot : slots_)
    for (auto& gadget : slot.gadgets)
      gadget->disconnect();
  for (auto& hid : hids_)
    hid->usb->disconnect();
  for (Slot& slot : slots_)
    for (auto& node : slot.nodes)
      node.second->disconnect();
}

bool LabUsbHost::start(std::string& error) {
  if (!bus_->ok()) {
    error = "cannot create the umockdev testbed";
    return false;
  }
  uint64_t now = LabNowMs();
  for (const UsbLabModule& m : config_.modules) {
    uint8_t routerAddress = m.module.address;
    for (const UsbLabModule& other : config_.modules)
      if (m.module.behind && other.module.serial == m.module.behind)
        routerAddress = other.module.address;
    modules_.push_back(std::make_unique<SimModule>(m.module, routerAddress, config_.dumpDir, now));
  }
  for (size_t i = 0; i < modules_.size(); ++i) {
    SimModule* module = modules_[i].get();
    if (module->config().behind) {
      for (auto& router : modules_)
        if (router->serial() == module->config().behind)
          router->attach(module);
      continue;
    }
    slots_.emplace_back();
    Slot& slot = slots_.back();
    slot.usb = config_.modules[i].usb;
    slot.module = module;
    slot.link = std::make_unique<UsbModuleLink>(*module, config_.verbose);
    slot.faults = std::make_unique<UsbFaults>(slot.usb.faults);
    slot.port = nextPort_++;
  }
  // A module that arrives later is plugged in by the thread.
  for (Slot& slot : slots_)
    if (slot.module->online() && !plug(slot, error))
      return false;
  thread_ = std::thread([this] { run(); });
  return true;
}

void LabUsbHost::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable())
    thread_.join();
}

// Called without the lock: the bus may wait for umockdev's thread, which may
// be waiting for the lock in a gadget.
bool LabUsbHost::plug(Slot& slot, std::string& error) {
  std::unique_ptr<UsbGadget> gadget;
  UsbIdentity identity;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    uint32_t serial = slot.loaderComesBack && slot.usb.loaderSerial ? slot.usb.loaderSerial : slot.module->serial();
    slot.rebootsAtPlug = slot.module->stats().reboots;
    std::string text = serial == slot.module->serial() && !slot.usb.serialText.empty() ? slot.usb.serialText
                                                                                         : SerialText(serial);
    identity = ModuleIdentity(slot.module->config().model, text);
    if (slot.usb.productId)
      identity.productId = slot.usb.productId;
    gadget = std::make_unique<UsbGadget>(mutex_, identity, *slot.link, *slot.faults, slot.traffic);
    if (slot.usb.driverNode) {
      gadget->bindDriver();
      std::unique_ptr<DriverNode>& node = slot.nodes[identity.serialText];
      if (!node)
        node = std::make_unique<DriverNode>(mutex_, *slot.link);
      node->reconnect();
    }
  }
  UsbPlugged plugged;
  if (!bus_->plug(slot.port, identity, gadget->handler(), plugged, error))
    return false;
  if (slot.usb.driverNode &&
      !bus_->plugDriverNode(identity.serialText, slot.nodes[identity.serialText]->handler(), plugged, error))
    return false;
  std::lock_guard<std::mutex> lock(mutex_);
  slot.plugged = plugged;
  slot.gadgets.push_back(std::move(gadget));
  slot.onBus = true;
  slot.serialText = identity.serialText;
  ++slot.arrivals;
  if (config_.verbose)
    std::fprintf(stderr, "%08X: on the bus as %s at %s\n", slot.module->serial(), identity.serialText.c_str(),
                 plugged.devnode.c_str());
  return true;
}

void LabUsbHost::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    wake_.wait_for(lock, std::chrono::milliseconds(kTickMs));
    if (stopping_)
      break;
    lock.unlock();
    step();
    lock.lock();
  }
}

void LabUsbHost::join(const UsbLabModule& module, LeftHandler left) {
  std::lock_guard<std::mutex> lock(joinMutex_);
  joining_.emplace_back(module, std::move(left));
}

// With the lab's lock held.
void LabUsbHost::addJoined() {
  std::vector<std::pair<UsbLabModule, LeftHandler>> joining;
  {
    std::lock_guard<std::mutex> lock(joinMutex_);
    joining.swap(joining_);
  }
  for (auto& j : joining) {
    modules_.push_back(std::make_unique<SimModule>(j.first.module, j.first.module.address, config_.dumpDir, LabNowMs()));
    slots_.emplace_back();
    Slot& slot = slots_.back();
    slot.usb = j.first.usb;
    slot.module = modules_.back().get();
    slot.link = std::make_unique<UsbModuleLink>(*slot.module, config_.verbose);
    slot.faults = std::make_unique<UsbFaults>(slot.usb.faults);
    slot.port = nextPort_++;
    slot.left = std::move(j.second);
  }
}

void LabUsbHost::step() {
  std::vector<Slot*> leaving, arriving;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    addJoined();
    uint64_t now = LabNowMs();
    for (Slot& slot : slots_) {
      slot.link->tick(now);
      bool leave = slot.link->takeLeave();
      bool reset = slot.link->takeReset();
      UsbGadget* gadget = slot.gadgets.empty() ? nullptr : slot.gadgets.back().get();
      if (slot.onBus && gadget && gadget->unplugWanted()) {
        slot.unplugged = true;
        leave = true;
      }
      if (slot.onBus && (leave || reset)) {
        gadget->disconnect();
        auto node = slot.nodes.find(slot.serialText);
        if (node != slot.nodes.end())
          node->second->disconnect();
        slot.onBus = false;
        if (leave)
          slot.loaderComesBack = slot.module->stats().reboots == slot.rebootsAtPlug;
        leaving.push_back(&slot);
        if (leave && slot.left) {
          slot.unplugged = true;
          slot.left(*slot.module);
        } else if (reset) {
          arriving.push_back(&slot);
        }
      } else if (!slot.onBus && !slot.unplugged && slot.module->online()) {
        arriving.push_back(&slot);
      }
    }
  }
  for (Slot* slot : leaving) {
    bus_->unplug(slot->plugged);
    if (config_.verbose)
      std::fprintf(stderr, "%08X: left the bus\n", slot->module->serial());
  }
  for (Slot* slot : arriving) {
    std::string error;
    if (!plug(*slot, error))
      std::fprintf(stderr, "%08X: %s\n", slot->module->serial(), error.c_str());
  }
}

unsigned LabUsbHost::driverNodeBytes(uint32_t serial) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Slot* slot = find(serial);
  unsigned bytes = 0;
  if (slot)
    for (const auto& node : slot->nodes)
      bytes += node.second->bytesWritten();
  return bytes;
}

std::string LabUsbHost::plugBootRomHid(HidReportSink& sink, std::string& error) {
  auto slot = std::make_unique<HidSlot>();
  UsbIdentity identity;
  identity.vendorId = kBootRomVendorId;
  identity.productId = kBootRomProductId;
  identity.manufacturer = "Lab";
  identity.product = "Lab boot ROM";
  identity.serialText = "";
  identity.interfaceClass = 3;
  identity.interfaceSubClass = 0;
  identity.interfaceProtocol = 0;
  identity.hid = true;
  std::vector<uint8_t> descriptor = BootRomReportDescriptor();
  identity.hidReportDescriptorLength = static_cast<uint16_t>(descriptor.size());
  slot->idle = std::make_unique<IdleFunction>();
  slot->faults = std::make_unique<UsbFaults>(std::vector<UsbFaultSpec>());
  slot->usb = std::make_unique<UsbGadget>(mutex_, identity, *slot->idle, *slot->faults, slot->traffic);
  slot->hid = std::make_unique<HidGadget>(mutex_, identity.vendorId, identity.productId, descriptor, sink);
  unsigned port;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    port = nextPort_++;
  }
  if (!bus_->plugHid(port, identity, slot->usb->handler(), slot->hid->handler(), descriptor, slot->plugged, error))
    return "";
  std::lock_guard<std::mutex> lock(mutex_);
  slot->hid->setReadyFd(slot->plugged.hidrawMaster);
  std::string node = slot->plugged.hidraw;
  hids_.push_back(std::move(slot));
  return node;
}

std::vector<std::string> LabUsbHost::describe() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> lines;
  for (const auto& module : modules_) {
    std::string line = module->describe();
    for (const Slot& slot : slots_)
      if (slot.module == module.get())
        line += " usb " + slot.plugged.devnode + " serial-text " + slot.serialText;
    lines.push_back(line);
  }
  return lines;
}

// The latest with that serial number: a loader may join more than once.
const LabUsbHost::Slot* LabUsbHost::find(uint32_t serial) const {
  for (auto it = slots_.rbegin(); it != slots_.rend(); ++it)
    if (it->module->serial() == serial)
      return &*it;
  return nullptr;
}

const SimModule* LabUsbHost::module(uint32_t serial) const {
  for (auto it = modules_.rbegin(); it != modules_.rend(); ++it)
    if ((*it)->serial() == serial)
      return it->get();
  return nullptr;
}

UsbTraffic LabUsbHost::traffic(uint32_t serial) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Slot* slot = find(serial);
  return slot ? slot->traffic : UsbTraffic();
}

SimModuleStats LabUsbHost::stats(uint32_t serial) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const SimModule* m = module(serial);
  return m ? m->stats() : SimModuleStats();
}

uint32_t LabUsbHost::build(uint32_t serial) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const SimModule* m = module(serial);
  return m ? m->build() : 0;
}

std::vector<uint8_t> LabUsbHost::firmware(uint32_t serial) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const SimModule* m = module(serial);
  return m ? m->upgrade().firmware().bytes : std::vector<uint8_t>();
}

unsigned LabUsbHost::arrivals(uint32_t serial) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Slot* slot = find(serial);
  return slot ? slot->arrivals : 0;
}

std::string LabUsbHost::serialText(uint32_t serial) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Slot* slot = find(serial);
  return slot ? slot->serialText : "";
}

bool LabUsbHost::onBus(uint32_t serial) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Slot* slot = find(serial);
  return slot && slot->onBus;
}

}  // namespace lab
