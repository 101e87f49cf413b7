#include "usb/UsbLabConfig.h"

#include <set>

namespace lab {

namespace {

bool ApplyUsbWord(const std::string& key, const std::string& value, UsbModuleOptions& usb, std::string& error) {
  uint64_t number = 0;
  bool ok = true;
  if (key == "usb-pid") {
    ok = ParseNumber(value, 16, 0xFFFF, number) && number != 0;
    usb.productId = static_cast<uint16_t>(number);
  } else if (key == "usb-serial-text") {
    ok = !value.empty() && value.size() <= 40;
    usb.serialText = value;
  } else if (key == "usb-loader-serial") {
    ok = ParseNumber(value, 16, 0xFFFFFFFF, number) && number != 0;
    usb.loaderSerial = static_cast<uint32_t>(number);
  } else if (key == "usb-driver-node") {
    ok = value == "yes" || value == "no";
    usb.driverNode = value == "yes";
  } else if (key == "usb-fault") {
    UsbFaultSpec fault;
    if (!ParseUsbFault(value, fault, error))
      return false;
    usb.faults.push_back(fault);
  } else {
    error = "unknown key '" + key + "'";
    return false;
  }
  if (!ok)
    error = "bad value '" + value + "' for '" + key + "'";
  return ok;
}

}  // namespace

bool ParseUsbModuleSpec(const std::string& text, UsbLabModule& module, std::string& error) {
  module = UsbLabModule();
  std::string rest;
  std::string word;
  for (size_t i = 0; i <= text.size(); ++i) {
    char c = i < text.size() ? text[i] : ',';
    if (c != ',' && c != ' ' && c != '\t') {
      word += c;
      continue;
    }
    if (word.compare(0, 4, "usb-") == 0) {
      size_t eq = word.find('=');
      if (!ApplyUsbWord(word.substr(0, eq), eq == std::string::npos ? "" : word.substr(eq + 1), module.usb, error))
        return false;
    } else if (!word.empty()) {
      rest += word + ",";
    }
    word.clear();
  }
  return ParseModuleSpec(rest, module.module, error);
}

namespace {

// Adds each module spec (with its USB words) it is given to `config`.
SpecTaker sAddModule(UsbLabConfig& config) {
  return [&config](const std::string& spec, std::string& error) {
    UsbLabModule module;
    if (!ParseUsbModuleSpec(spec, module, error))
      return false;
    config.modules.push_back(module);
    return true;
  };
}

}  // namespace

bool ParseUsbConfigFile(const std::string& path, UsbLabConfig& config, std::string& error) {
  return ForEachSpecLine(path, sAddModule(config), error);
}

std::vector<Option> UsbOptionTable(UsbLabConfig& config) {
  auto file = [&config](const std::string& path, std::string& error) {
    return ParseUsbConfigFile(path, config, error);
  };
  return {
      Custom("--module", "SPEC", "one module: the module keys and the USB words below", sAddModule(config)),
      Custom("--config", "FILE", "modules from a file: one SPEC per line, '#' starts a comment", file),
      Text("--dump-dir", "DIR", "write the image a module holds to DIR/<SERIAL>.bin after\n"
                                "every WRITE and REBOOT", config.dumpDir),
      Flag("--verbose", "the bus's events on stderr", config.verbose),
  };
}

bool ValidateUsbConfig(const UsbLabConfig& config, std::string& error) {
  std::set<uint32_t> serials, routers;
  for (const UsbLabModule& m : config.modules) {
    if (!serials.insert(m.module.serial).second) {
      error = "serial number used twice";
      return false;
    }
    if (m.module.router)
      routers.insert(m.module.serial);
  }
  for (const UsbLabModule& m : config.modules)
    if (m.module.behind && !routers.count(m.module.behind)) {
      error = "behind= names no router of this lab";
      return false;
    }
  if (config.modules.empty())
    error = "no modules";
  return !config.modules.empty();
}

bool ParseUsbLabArguments(const std::vector<std::string>& args, UsbLabConfig& config, std::string& error) {
  config = UsbLabConfig();
  Options options("updater-lab usb", "", UsbOptionTable(config));
  return options.parseAll(args, error) && ValidateUsbConfig(config, error);
}

const char* UsbModuleSpecHelp() {
  return "USB words (besides the module keys; port= is not needed):\n"
         "  usb-pid=0xHHHH           product id (default: the model code)\n"
         "  usb-serial-text=TEXT     serial-number string (default: the serial in 8 hex digits)\n"
         "  usb-loader-serial=XXXXXXXX  a started loader comes back under this serial number\n"
         "  usb-driver-node=yes      the maker's driver holds the interface; the link runs\n"
         "                           through the node /dev/kovalink.<serial string>\n"
         "  usb-fault=KIND[@N]       stall-out@N, stall-in@N (the Nth bulk transfer stalls once),\n"
         "                           mute@N (from the Nth OUT transfer nothing completes),\n"
         "                           unplug@N (leaves the bus during the Nth OUT transfer), busy\n";
}

}  // namespace lab
