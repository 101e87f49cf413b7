// updater-lab: the virtual lab that stands in for real modules and servers.
#include <cstdio>
#include <cstring>

#include "LabCommands.h"

namespace {

struct Subcommand {
  const char* name;
  int (*run)(int argc, char** argv);
  const char* summary;
};

const Subcommand kSubcommands[] = {
    {"modules", LabModulesMain, "serve simulated modules and routers over TCP/IP"},
    {"server", LabServerMain, "serve the update server protocol from a catalogue of BIRD files"},
    {"usb", LabUsbMain, "serve simulated modules on an emulated USB bus (umockdev)"},
    {"demo-config", LabDemoConfigMain, "print the module config (or catalogue) of the demo lab"},
    {"lpc", LabLpcMain, "an NXP LPC17xx boot ROM in ISP mode behind a pseudo-terminal"},
    {"imx", LabImxMain, "an NXP i.MX RT1050 boot ROM (serial download) on a pty and USB HID"},
    {"imx-loader", LabImxLoaderMain, "write a lab i.MX recovery loader for birdpack --loader"},
};

void usage(FILE* out) {
  std::fprintf(out, "usage: updater-lab <subcommand> [options]\n\nsubcommands:\n");
  for (const Subcommand& s : kSubcommands)
    std::fprintf(out, "  %-12s %s\n", s.name, s.summary);
  std::fprintf(out, "\n'updater-lab <subcommand> --help' describes each one.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    usage(stderr);
    return 2;
  }
  if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
    usage(stdout);
    return 0;
  }
  for (const Subcommand& s : kSubcommands)
    if (!std::strcmp(argv[1], s.name))
      return s.run(argc - 1, argv + 1);
  std::fprintf(stderr, "updater-lab: unknown subcommand '%s'\n", argv[1]);
  usage(stderr);
  return 2;
}
