// updater-lab modules: serves simulated modules in the foreground until
// SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "LabCommands.h"
#include "LabConfig.h"
#include "sim/ModuleHost.h"

namespace {

lab::LabModuleHost* gHost = nullptr;

void cbStopSignal(int) {
  if (gHost)
    gHost->stop();
}

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: updater-lab modules [--module SPEC]... [--config FILE] [--dump-dir DIR] [--verbose]\n"
               "\n"
               "Serves simulated modules over TCP/IP in the foreground: each answers discovery\n"
               "(UDP 9888, group 232.2.2.2) and accepts a link on its TCP port. Prints one line\n"
               "per module, then \"ready\"; SIGINT or SIGTERM stops it and prints a summary.\n"
               "Run it only inside a private network namespace (scripts/netns-lab).\n"
               "\n"
               "  --module SPEC   one module, e.g. serial=0000BEEF,model=17,address=4,port=9000\n"
               "  --config FILE   modules from a file: one SPEC per line, '#' starts a comment\n"
               "  --dump-dir DIR  after every WRITE and REBOOT write the firmware a module holds\n"
               "                  to DIR/<SERIAL>.bin (from its lowest written address, gaps\n"
               "                  0xFF); after LOAD the loader to DIR/<SERIAL>.loader.bin\n"
               "  --verbose       trace every frame on stderr\n"
               "\n%s"
               "\nAfter a REBOOT a module comes back with the build (and version) of the\n"
               "64-byte information block that its new image carries, else with next-build=.\n",
               lab::ModuleSpecHelp());
}

void PrintSummary(const lab::LabModuleHost& host, const lab::LabConfig& config) {
  for (const lab::ModuleConfig& module : config.modules) {
    lab::SimModuleStats s = host.stats(module.serial);
    std::printf("%08X: links %u, requests %u, heartbeats sent %u answered %u wrong %u missed %u, reboots %u, "
                "build %u\n",
                module.serial, s.links, s.requests, s.heartbeatsSent, s.heartbeatsAnswered, s.heartbeatsWrong,
                s.heartbeatsMissed, s.reboots, host.build(module.serial));
  }
}

}  // namespace

int LabModulesMain(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      Usage(stdout);
      return 0;
    }
  }
  lab::LabConfig config;
  std::string error;
  if (!lab::ParseLabArguments(std::vector<std::string>(argv + 1, argv + argc), config, error)) {
    std::fprintf(stderr, "updater-lab modules: %s\n", error.c_str());
    Usage(stderr);
    return 2;
  }
  lab::LabModuleHost host(config);
  if (!host.open(error)) {
    std::fprintf(stderr, "updater-lab modules: %s\n", error.c_str());
    return 1;
  }
  gHost = &host;
  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_handler = cbStopSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  for (const std::string& line : host.describe())
    std::printf("%s\n", line.c_str());
  if (host.discoveryInterfaces().empty())
    std::fprintf(stderr, "updater-lab modules: no non-loopback interface, discovery hears nothing\n");
  for (const std::string& address : host.discoveryInterfaces())
    std::fprintf(stderr, "updater-lab modules: discovery on %s\n", address.c_str());
  std::printf("ready\n");
  std::fflush(stdout);

  host.run();
  gHost = nullptr;
  PrintSummary(host, config);
  std::printf("stopped\n");
  std::fflush(stdout);
  return 0;
}
