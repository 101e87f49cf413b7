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

const char* const kIntro =
    "usage: updater-lab modules [--module SPEC]... [--config FILE] [--dump-dir DIR] [--verbose]\n"
    "\n"
    "Serves simulated modules over TCP/IP in the foreground: each answers discovery\n"
    "(UDP 9888, group 232.2.2.2) and accepts a link on its TCP port. Prints one line\n"
    "per module, then \"ready\"; SIGINT or SIGTERM stops it and prints a summary.\n"
    "Run it only inside a private network namespace (scripts/netns-lab).\n"
    "\n";

std::string sOutro() {
  return std::string("\n") + lab::ModuleSpecHelp() +
         "\nAfter a REBOOT a module comes back with the build (and version) of the\n"
         "64-byte information block that its new image carries, else with next-build=.\n";
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
  lab::LabConfig config;
  lab::Options options("updater-lab modules", kIntro, lab::ModulesOptionTable(config), sOutro());
  int code = options.run(argc, argv);
  if (code >= 0)
    return code;
  std::string error;
  if (!lab::ValidateConfig(config, error))
    return options.fail(error, false);
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
