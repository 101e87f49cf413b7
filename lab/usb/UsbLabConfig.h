// What `updater-lab usb` serves: lab modules, each with its USB face.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "LabConfig.h"
#include "usb/UsbFaults.h"

namespace lab {

struct UsbModuleOptions {
  uint16_t productId = 0;     // 0: the module's model code
  std::string serialText;     // empty: the serial number in 8 upper-case hex digits
  uint32_t loaderSerial = 0;  // serial number under which a started loader comes back; 0: its own
  std::vector<UsbFaultSpec> faults;
  bool driverNode = false;    // the maker's driver serves it: its link runs through /dev/kovalink.XXXXXXXX
};

struct UsbLabModule {
  ModuleConfig module;
  UsbModuleOptions usb;
};

struct UsbLabConfig {
  std::vector<UsbLabModule> modules;
  std::string dumpDir;
  bool verbose = false;
};

// A module spec as for `updater-lab modules` (no port needed) plus the words
// usb-pid=0xHHHH, usb-serial-text=TEXT, usb-loader-serial=XXXXXXXX,
// usb-driver-node=yes and usb-fault=KIND[@N].
bool ParseUsbModuleSpec(const std::string& text, UsbLabModule& module, std::string& error);
// A config file: one SPEC per line ("module" may precede it), '#' comments.
bool ParseUsbConfigFile(const std::string& path, UsbLabConfig& config, std::string& error);
// The options of `updater-lab usb`, read into `config`: --module SPEC,
// --config FILE, --dump-dir DIR, --verbose.
std::vector<Option> UsbOptionTable(UsbLabConfig& config);
// Unique serial numbers, routers that exist, at least one module.
bool ValidateUsbConfig(const UsbLabConfig& config, std::string& error);
// The options (without the subcommand), checked as a whole.
bool ParseUsbLabArguments(const std::vector<std::string>& args, UsbLabConfig& config, std::string& error);
const char* UsbModuleSpecHelp();

}  // namespace lab
