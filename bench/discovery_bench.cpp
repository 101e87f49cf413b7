// Measures the two slow listings: -D -r on a lab router with three modules on its network,
// and -D -t TCPIP with fifty lab modules answering. Prints one line: for each, the wall
// time of the updater run (median, min and max over the runs) and whether every module
// was listed, with the load average of the machine before the first run.
// Everything runs in private network namespaces (needs root).
// Usage: discovery_bench [runs (default 3)] [updater program (default the one built here)]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "LabNetwork.h"
#include "TestSupport.h"

namespace {

const unsigned kRouterSerial = 0x00D10D00;
const unsigned kNetworkAddresses[] = {4, 10, 16};
const unsigned kFleetSize = 50;
const unsigned kFleetFirstSerial = 0x00F1EE00;
const int kRouterPort = 9000;
const int kFleetFirstPort = 9100;
const int kRunLimitMs = 400000;

struct Figures {
  std::vector<double> seconds;
  unsigned worstListed = ~0u;
  bool failed = false;
};

std::string sHex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%08X", value);
  return text;
}

std::vector<std::string> sRouterLab() {
  std::vector<std::string> args = {"modules", "--module",
                                   "serial=" + sHex(kRouterSerial) + ",model=24,port=" + std::to_string(kRouterPort) +
                                       ",router=yes"};
  for (unsigned address : kNetworkAddresses)
    args.insert(args.end(), {"--module", "serial=" + sHex(kRouterSerial + address) + ",model=13,address=" +
                                             std::to_string(address) + ",behind=" + sHex(kRouterSerial)});
  return args;
}

std::vector<std::string> sFleetLab() {
  std::vector<std::string> args = {"modules"};
  for (unsigned i = 0; i < kFleetSize; i++)
    args.insert(args.end(), {"--module", "serial=" + sHex(kFleetFirstSerial + i) + ",model=17,address=4,port=" +
                                             std::to_string(kFleetFirstPort + static_cast<int>(i))});
  return args;
}

unsigned sListed(const std::string& out, unsigned firstSerial, const std::vector<unsigned>& offsets) {
  unsigned listed = 0;
  for (unsigned offset : offsets)
    if (out.find("    " + sHex(firstSerial + offset) + "  ") != std::string::npos)
      listed++;
  return listed;
}

// One lab, `runs` runs of the updater against it.
Figures sMeasure(const std::vector<std::string>& lab, const std::string& updater,
                 const std::vector<std::string>& args, unsigned firstSerial, const std::vector<unsigned>& offsets,
                 int runs) {
  Figures figures;
  testsupport::LabNetwork net;
  if (!net.ok() || net.startLab(lab) < 0) {
    std::fprintf(stderr, "discovery_bench: %s\n", net.error().c_str());
    figures.failed = true;
    return figures;
  }
  for (int run = 0; run < runs; run++) {
    auto start = std::chrono::steady_clock::now();
    testsupport::RunResult r = net.run(updater, args, kRunLimitMs);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (r.exitCode != 0) {
      std::fprintf(stderr, "discovery_bench: %s exited %d\n%s", updater.c_str(), r.exitCode, r.err.c_str());
      figures.failed = true;
    }
    figures.seconds.push_back(seconds);
    figures.worstListed = std::min(figures.worstListed, sListed(r.out, firstSerial, offsets));
  }
  return figures;
}

std::string sReport(const char* name, const Figures& figures, size_t expected) {
  if (figures.seconds.empty())
    return std::string(name) + " failed";
  std::vector<double> s = figures.seconds;
  std::sort(s.begin(), s.end());
  char text[200];
  std::snprintf(text, sizeof(text), "%s median %.2f s (min %.2f, max %.2f, %zu runs), listed %u/%zu%s", name,
                s[s.size() / 2], s.front(), s.back(), s.size(), figures.worstListed, expected,
                figures.failed ? " FAILED" : "");
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 3;
  std::string updater = argc > 2 ? argv[2] : testsupport::BinPath("updater");
  if (runs < 1)
    runs = 1;
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) != 3)
    load[0] = load[1] = load[2] = -1;

  std::vector<unsigned> network(std::begin(kNetworkAddresses), std::end(kNetworkAddresses));
  Figures router = sMeasure(sRouterLab(), updater, {"-D", "-r", sHex(kRouterSerial), "-t", "TCPIP"}, kRouterSerial,
                            network, runs);
  std::vector<unsigned> fleet;
  for (unsigned i = 0; i < kFleetSize; i++)
    fleet.push_back(i);
  Figures tcpip = sMeasure(sFleetLab(), updater, {"-D", "-t", "TCPIP"}, kFleetFirstSerial, fleet, runs);

  std::printf("discovery_bench: load %.2f %.2f %.2f; %s; %s\n", load[0], load[1], load[2],
              sReport("-D -r router with 3 modules", router, network.size()).c_str(),
              sReport("-D -t TCPIP 50 modules", tcpip, fleet.size()).c_str());
  return router.failed || tcpip.failed ? 1 : 0;
}
