// updater-lab demo-config: the lab that `make demo` runs, printed in the
// formats the other subcommands read, so the same lab can be started by hand
// and the demo script never carries a copy of its own.
#include <cstdint>
#include <cstdio>
#include <string>

#include "LabCommands.h"
#include "Options.h"

namespace {

struct DemoModule {
  uint32_t serial;
  uint8_t model;
  const char* modelName;  // catalogue folder; the name the module's model code stands for
  uint16_t port;          // 0 for a module behind a router
  uint8_t address;
  const char* version;
  uint32_t build;
  const char* extra;  // further module keys
  const char* role;   // comment in the module config
};

// The drop fires on the 800th DATA request: past the 158 chunks of the 4 KB
// loader, about half-way through the firmware, so the progress bar is seen.
const DemoModule kModules[] = {
    {0x0000BEEF, 17, "Holvex", 9000, 2, "1.2.0", 1200, "reboot-delay=300", "direct; the demo updates it"},
    {0x0000CAFE, 13, "Quessa", 9001, 2, "2.0.1", 2001, "fault=drop:data@800",
     "direct; its link drops half-way through an update"},
    {0x0000D00D, 4, "Tavrel", 9002, 2, "3.1.0", 3100, "router=yes answer-absent=yes", "router with two modules on its network"},
    {0x00000B04, 16, "Grivan", 0, 4, "1.0.4", 1004, "behind=0000D00D", "on the router's network, address 4"},
    {0x00000B0A, 19, "Kirrow", 0, 10, "1.1.0", 1100, "behind=0000D00D", "on the router's network, address 10"},
    {0x0000F1E1, 5, "Morlix", 9003, 2, "4.0.0", 4000, "reboot-delay=300", "direct; updated with the fleet"},
    {0x0000F1E2, 14, "Darnow", 9004, 2, "5.2.0", 5200, "reboot-delay=300", "direct; updated with the fleet"},
    {0x0000F1E3, 15, "Felkor", 9005, 2, "6.0.1", 6001, "reboot-delay=300", "direct; updated with the fleet"},
};

struct DemoBuild {
  const char* modelName;
  uint8_t model;
  uint32_t build;
  const char* version;
};

// Each module's present build and one or two newer ones.
const DemoBuild kBuilds[] = {
    {"Holvex", 17, 1200, "1.2.0"}, {"Holvex", 17, 1310, "1.3.1"}, {"Holvex", 17, 1420, "1.4.2"},
    {"Quessa", 13, 2001, "2.0.1"}, {"Quessa", 13, 2105, "2.1.5"}, {"Tavrel", 4, 3100, "3.1.0"},
    {"Tavrel", 4, 3120, "3.1.2"},  {"Grivan", 16, 1004, "1.0.4"}, {"Grivan", 16, 1010, "1.1.0"},
    {"Kirrow", 19, 1100, "1.1.0"}, {"Kirrow", 19, 1203, "1.2.3"},  {"Morlix", 5, 4000, "4.0.0"},
    {"Morlix", 5, 4100, "4.1.0"},  {"Darnow", 14, 5200, "5.2.0"}, {"Darnow", 14, 5300, "5.3.0"},
    {"Felkor", 15, 6001, "6.0.1"}, {"Felkor", 15, 6010, "6.1.0"},
};

const char* const kIntro =
    "usage: updater-lab demo-config [--modules | --server | --builds]\n"
    "\n"
    "Prints the lab that `make demo` runs:\n";

void PrintModules() {
  std::printf(
      "# The demo lab: eight modules: five reached directly over TCP/IP, one of them a\n"
      "# router with two modules on its network. Start it inside a private network namespace:\n"
      "#   updater-lab modules --config FILE\n");
  for (const DemoModule& m : kModules) {
    char text[160];
    std::snprintf(text, sizeof(text), "module serial=%08X model=%u version=%s build=%u", m.serial, m.model, m.version,
                  m.build);
    std::string line = text;
    if (m.port) {
      std::snprintf(text, sizeof(text), " port=%u", m.port);
      line += text;
    }
    if (m.address != 2) {
      std::snprintf(text, sizeof(text), " address=%u", m.address);
      line += text;
    }
    std::printf("%s %s  # %s: %s\n", line.c_str(), m.extra, m.modelName, m.role);
  }
}

void PrintServer() {
  std::printf("# Modules the demo's update server knows: device SERIAL MODEL (latest = highest build)\n");
  for (const DemoModule& m : kModules)
    std::printf("device %08X %s\n", m.serial, m.modelName);
}

void PrintBuilds() {
  for (const DemoBuild& b : kBuilds)
    std::printf("%s %u %u %s\n", b.modelName, b.model, b.build, b.version);
}

}  // namespace

int LabDemoConfigMain(int argc, char** argv) {
  void (*print)() = PrintModules;
  auto show = [&print](void (*what)()) { return [&print, what] { print = what; }; };
  lab::Options options("updater-lab demo-config", kIntro,
                       {
                           lab::Flag("--modules",
                                     "(default) the module config, for `updater-lab modules --config FILE`",
                                     show(PrintModules)),
                           lab::Flag("--server",
                                     "the catalogue's device lines, for a lab-server.conf beside the\n"
                                     "catalogue of `updater-lab server --catalogue DIR`",
                                     show(PrintServer)),
                           lab::Flag("--builds", "the catalogue's builds, one per line: MODEL-NAME MODEL-CODE BUILD\n"
                                                 "VERSION (the demo makes one BIRD file of each with birdpack)",
                                     show(PrintBuilds)),
                       });
  int code = options.run(argc, argv);
  if (code >= 0)
    return code;
  if (argc > 2)
    return options.fail("give one of --modules, --server and --builds", true);
  print();
  return 0;
}
