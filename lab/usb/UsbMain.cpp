// updater-lab usb: serves lab modules on an emulated USB bus in the foreground
// until SIGINT or SIGTERM.
#include <cstdio>
#include <string>
#include <vector>

#include "LabCommands.h"
#include "LabConfig.h"
#include "LabStopSignals.h"
#include "usb/UsbHost.h"
#include "usb/UsbLabConfig.h"

namespace {

const char* const kIntro =
    "usage: updater-lab usb [--module SPEC]... [--config FILE] [--dump-dir DIR] [--verbose]\n"
    "\n"
    "Serves lab modules as devices on an emulated USB bus (umockdev): each carries the\n"
    "maker's vendor id, its model as product id and its serial number as serial string,\n"
    "and its vendor interface's bulk endpoints carry its link. Prints one line per\n"
    "module, then \"umockdev-dir DIR\" and \"ready\". A program sees the bus when run as\n"
    "  LD_PRELOAD=libumockdev-preload.so.0 UMOCKDEV_DIR=DIR program ...\n"
    "A module that reboots or starts a loader that leaves its link leaves the bus and\n"
    "comes back with a new device number. SIGINT or SIGTERM stops it.\n"
    "\n";

std::string sOutro() { return std::string("\n") + lab::ModuleSpecHelp() + "\n" + lab::UsbModuleSpecHelp(); }

void PrintSummary(const lab::LabUsbHost& host, const lab::UsbLabConfig& config) {
  for (const lab::UsbLabModule& m : config.modules) {
    uint32_t serial = m.module.serial;
    lab::SimModuleStats s = host.stats(serial);
    lab::UsbTraffic t = host.traffic(serial);
    std::printf("%08X: links %u, requests %u, reboots %u, build %u, arrivals %u, out transfers %u (largest %u), "
                "stalls %u, clear-halts %u, discarded %u\n",
                serial, s.links, s.requests, s.reboots, host.build(serial), host.arrivals(serial), t.outTransfers,
                t.largestOut, t.stalls, t.clearHalts, t.discarded);
  }
}

}  // namespace

int LabUsbMain(int argc, char** argv) {
  lab::UsbLabConfig config;
  lab::Options options("updater-lab usb", kIntro, lab::UsbOptionTable(config), sOutro());
  int code = options.run(argc, argv);
  if (code >= 0)
    return code;
  std::string error;
  if (!lab::ValidateUsbConfig(config, error))
    return options.fail(error, false);
  lab::LabStopSignals stop;

  lab::LabUsbHost host(config);
  if (!host.start(error)) {
    std::fprintf(stderr, "updater-lab usb: %s\n", error.c_str());
    return 1;
  }
  for (const std::string& line : host.describe())
    std::printf("%s\n", line.c_str());
  std::printf("umockdev-dir %s\nready\n", host.umockdevDir().c_str());
  std::fflush(stdout);

  stop.wait();
  host.stop();
  PrintSummary(host, config);
  std::printf("stopped\n");
  std::fflush(stdout);
  return 0;
}
