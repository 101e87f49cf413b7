#include "UnopenableModules.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

#include "aDiscovery.h"
#include "aNumber.h"

namespace {

// One line of a sysfs attribute, without its line feed; empty when unreadable.
std::string Attribute(const std::string& device, const char* name) {
  std::ifstream in(device + "/" + name);
  std::string line;
  std::getline(in, line);
  return line;
}

bool Number(const std::string& text, int base, unsigned long& value) {
  uint32_t number = 0;
  if (aNumber_ParseU32(text.c_str(), base, &number) != aErrNone)
    return false;
  value = number;
  return true;
}

// Opened the way the USB library opens it; only a refusal for want of rights counts.
bool Denied(const std::string& node) {
  int fd = open(node.c_str(), O_RDWR | O_CLOEXEC);
  if (fd >= 0) {
    close(fd);
    return false;
  }
  return errno == EACCES || errno == EPERM;
}

bool Inspect(const std::string& device, const std::string& devfs, UnopenableModule& module) {
  unsigned long vendor = 0, product = 0, bus = 0, address = 0;
  if (!Number(Attribute(device, "idVendor"), 16, vendor) || !Number(Attribute(device, "idProduct"), 16, product) ||
      !aDiscovery_IsModuleDevice(static_cast<uint16_t>(vendor), static_cast<uint16_t>(product)))
    return false;
  const std::string serial = Attribute(device, "serial");
  linkSpec spec;
  if (!aDiscovery_DescribeUSBModule(static_cast<uint16_t>(product), serial.c_str(), static_cast<int>(serial.size()),
                                    &spec))
    return false;
  if (!Number(Attribute(device, "busnum"), 10, bus) || !Number(Attribute(device, "devnum"), 10, address))
    return false;
  char node[64];
  snprintf(node, sizeof(node), "/%03lu/%03lu", bus, address);
  if (!Denied(devfs + node))
    return false;
  module.serialNumber = spec.serialNumber;
  module.vendor = static_cast<uint16_t>(vendor);
  module.product = static_cast<uint16_t>(product);
  return true;
}

}  // namespace

std::vector<UnopenableModule> cli::_unopenable_usb_modules(const std::string& sysfs, const std::string& devfs) {
  std::vector<UnopenableModule> modules;
  DIR* dir = opendir(sysfs.c_str());
  if (!dir)
    return modules;
  while (struct dirent* entry = readdir(dir)) {
    UnopenableModule module;
    if (entry->d_name[0] != '.' && Inspect(sysfs + "/" + entry->d_name, devfs, module))
      modules.push_back(module);
  }
  closedir(dir);
  return modules;
}
