// updater-lab server: the lab update server in the foreground.
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "LabCommands.h"
#include "server/Server.h"
#include "LabStopSignals.h"

namespace {

const char* const kUsage =
    "usage: updater-lab server --catalogue DIR [options]\n"
    "\n"
    "Serves the update server protocol at http://HOST:PORT/cgi/u from a catalogue\n"
    "of BIRD files. Prints its URL, then \"ready\", once it listens; runs until\n"
    "SIGINT or SIGTERM.\n"
    "\n"
    "  --catalogue DIR    DIR/<model>/*.bird; build and version come from each file's\n"
    "                     information block; DIR/lab-server.conf is read if present\n"
    "  --config FILE      more catalogue entries (same format as lab-server.conf)\n"
    "  --device SN:MODEL[:LATEST]\n"
    "                     a module: serial number (hex), model folder, latest build\n"
    "                     (default: the highest build of the model)\n"
    "  --fix W0:W1:W2:W3:SN:BUILD\n"
    "                     recovery fingerprint (four hex words) -> serial number, build\n"
    "  --host ADDR        address to listen on (default 127.0.0.1)\n"
    "  --port N           port (default 0: any free port)\n"
    "  --log FILE         append the request log to FILE instead of standard output\n"
    "  --fault OP:KIND    misbehave for OP (hi, qu, bird, builds, fix or * for all):\n"
    "                       status:CODE   answer with that HTTP status\n"
    "                       nook          answer 200 without the \"ok\" line\n"
    "                       okonly        answer just \"ok\"\n"
    "                       corrupt       answer \"ok\" and a line that is not base64\n"
    "                       stall:SECONDS send nothing for that long, then answer\n"
    "                       close         send half the reply, then close the connection\n"
    "                     may be repeated; the first matching fault applies\n"
    "\n"
    "lab-server.conf lines (\"#\" starts a comment):\n"
    "  device SERIAL MODEL [LATEST]\n"
    "  fix W0 W1 W2 W3 SERIAL BUILD\n";

struct Arguments {
  std::string catalogue;
  std::vector<std::string> configs;
  std::vector<std::string> entries;
  std::string logPath;
  LabServerOptions options;
};

std::string sColonsToWords(const std::string& kind, std::string value) {
  for (char& c : value)
    if (c == ':')
      c = ' ';
  return kind + " " + value;
}

// Returns -1 to go on, else the exit code.
int sParse(int argc, char** argv, Arguments& args) {
  for (int i = 1; i < argc; i++) {
    std::string opt = argv[i];
    if (opt == "--help" || opt == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "updater-lab server: '%s' needs a value (or is unknown)\n%s", opt.c_str(), kUsage);
      return 2;
    }
    std::string value = argv[++i];
    std::string error;
    LabFault fault;
    if (opt == "--catalogue")
      args.catalogue = value;
    else if (opt == "--config")
      args.configs.push_back(value);
    else if (opt == "--device")
      args.entries.push_back(sColonsToWords("device", value));
    else if (opt == "--fix")
      args.entries.push_back(sColonsToWords("fix", value));
    else if (opt == "--host")
      args.options.host = value;
    else if (opt == "--port")
      args.options.port = std::atoi(value.c_str());
    else if (opt == "--log")
      args.logPath = value;
    else if (opt == "--fault" && LabParseFault(value, fault, error))
      args.options.faults.push_back(fault);
    else {
      std::fprintf(stderr, "updater-lab server: %s\n", error.empty() ? ("unknown option " + opt).c_str() : error.c_str());
      return 2;
    }
  }
  if (args.catalogue.empty()) {
    std::fprintf(stderr, "updater-lab server: --catalogue is required\n%s", kUsage);
    return 2;
  }
  return -1;
}

bool sLoad(const Arguments& args, LabServerCatalogue& catalogue, std::string& error) {
  if (!catalogue.LoadDirectory(args.catalogue, error))
    return false;
  for (const std::string& config : args.configs)
    if (!catalogue.LoadConfig(config, error))
      return false;
  for (const std::string& entry : args.entries)
    if (!catalogue.AddEntry(entry, error))
      return false;
  return true;
}

}  // namespace

int LabServerMain(int argc, char** argv) {
  Arguments args;
  int code = sParse(argc, argv, args);
  if (code >= 0)
    return code;
  LabServerCatalogue catalogue;
  std::string error;
  if (!sLoad(args, catalogue, error)) {
    std::fprintf(stderr, "updater-lab server: %s\n", error.c_str());
    return 1;
  }
  FILE* log = nullptr;
  if (!args.logPath.empty()) {
    log = std::fopen(args.logPath.c_str(), "a");
    if (!log) {
      std::fprintf(stderr, "updater-lab server: cannot open log %s: %s\n", args.logPath.c_str(), std::strerror(errno));
      return 1;
    }
    args.options.log = log;
  }

  // Signals go to one waiting thread, which stops the server in an orderly way.
  lab::LabStopSignals stop;

  LabServer server(catalogue, args.options);
  if (!server.Bind(error)) {
    std::fprintf(stderr, "updater-lab server: %s\n", error.c_str());
    if (log)
      std::fclose(log);
    return 1;
  }
  std::thread waiter([&] {
    stop.wait();
    server.Stop();
  });
  std::printf("%s\nready\n", server.Url().c_str());
  std::fflush(stdout);
  server.Run();
  // Run also ends without a signal if listening fails; wake the waiter then.
  lab::LabStopSignals::wake(waiter.native_handle());
  waiter.join();
  if (log)
    std::fclose(log);
  return 0;
}
