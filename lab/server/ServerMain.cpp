// updater-lab server: the lab update server in the foreground.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "LabCommands.h"
#include "Options.h"
#include "server/Server.h"
#include "LabStopSignals.h"

namespace {

using lab::Custom;
using lab::List;
using lab::Number;
using lab::Option;
using lab::Text;

const char* const kIntro =
    "usage: updater-lab server --catalogue DIR [options]\n"
    "\n"
    "Serves the update server protocol at http://HOST:PORT/cgi/u (https:// with\n"
    "--tls-cert) from a catalogue of BIRD files. Prints its URL, then \"ready\",\n"
    "once it listens; runs until SIGINT or SIGTERM.\n"
    "\n";

const char* const kOutro =
    "\n"
    "lab-server.conf lines (\"#\" starts a comment):\n"
    "  device SERIAL MODEL [LATEST]\n"
    "  fix W0 W1 W2 W3 SERIAL BUILD\n";

const char* const kFaultHelp =
    "misbehave for OP (hi, qu, bird, builds, fix or * for all):\n"
    "  status:CODE   answer with that HTTP status\n"
    "  nook          answer 200 without the \"ok\" line\n"
    "  okonly        answer just \"ok\"\n"
    "  corrupt       answer \"ok\" and a line that is not base64\n"
    "  stall:SECONDS send nothing for that long, then answer\n"
    "  close         send half the reply, then close the connection\n"
    "may be repeated; the first matching fault applies";

struct Arguments {
  std::string catalogue;
  std::vector<std::string> configs;
  std::vector<std::string> entries;
  std::string logPath;
  LabServerOptions options;
};

// "A:B:C" on the command line is the config line "KIND A B C".
Option::Apply sEntry(const std::string& kind, std::vector<std::string>& entries) {
  return [kind, &entries](const std::string& value, std::string&) {
    std::string line = kind + " " + value;
    std::replace(line.begin(), line.end(), ':', ' ');
    entries.push_back(line);
    return true;
  };
}

Option::Apply sFault(LabServerOptions& options) {
  return [&options](const std::string& value, std::string& error) {
    LabFault fault;
    if (!LabParseFault(value, fault, error))
      return false;
    options.faults.push_back(fault);
    return true;
  };
}

std::vector<Option> sTable(Arguments& a) {
  return {
      Text("--catalogue", "DIR", "DIR/<model>/*.bird; build and version come from each file's\n"
                                 "information block; DIR/lab-server.conf is read if present", a.catalogue),
      List("--config", "FILE", "more catalogue entries (same format as lab-server.conf)", a.configs),
      Custom("--device", "SN:MODEL[:LATEST]", "a module: serial number (hex), model folder, latest build\n"
                                              "(default: the highest build of the model)", sEntry("device", a.entries)),
      Custom("--fix", "W0:W1:W2:W3:SN:BUILD", "recovery fingerprint (four hex words) -> serial number, build",
             sEntry("fix", a.entries)),
      Text("--host", "ADDR", "address to listen on (default 127.0.0.1)", a.options.host),
      Number("--port", "N", "port (default 0: any free port)", a.options.port, 10, 0, 65535),
      Text("--log", "FILE", "append the request log to FILE instead of standard output", a.logPath),
      Custom("--fault", "OP:KIND", kFaultHelp, sFault(a.options)),
      Text("--tls-cert", "FILE", "serve HTTPS with this certificate (PEM, the chain after it)",
           a.options.tlsCertificate),
      Text("--tls-key", "FILE", "the certificate's private key (PEM)", a.options.tlsKey),
      Text("--redirect", "URL", "answer every request with a redirect to URL followed by the\n"
                                "request's path and query", a.options.redirect),
      Text("--sign-key", "FILE", "Ed25519 private key (PEM): signed catalogue files are signed\n"
                                 "again after the module's serial number is written in",
           a.options.signingKey),
  };
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
  lab::Options options("updater-lab server", kIntro, sTable(args), kOutro);
  int code = options.run(argc, argv);
  if (code >= 0)
    return code;
  if (args.catalogue.empty())
    return options.fail("--catalogue is required", true);
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
