// Private network namespaces for tests that discover modules or talk to the lab.
//
// LabNetwork builds two namespaces joined by a veth pair: the lab side (address
// 10.77.X.2) where updater-lab processes run, and the program side (10.77.X.1)
// where the program under test runs with a private store bound over
// <home>/.tessoral. Discovery in the program namespace sees exactly one
// non-loopback interface, and nothing can leave the pair. Everything is torn
// down in the destructor; namespaces left by killed runs are removed first.
//
//   testsupport::LabNetwork net;
//   if (!net.ok()) GTEST_SKIP() << net.error();
//   ASSERT_GE(net.startLab({"modules", "--module", "serial=0000BEEF,port=9000"}), 0) << net.error();
//   auto r = net.runUpdater({"-D", "-t", "TCPIP"});
//   EXPECT_EQ(r.exitCode, 0) << r.err;
#pragma once
#include <string>
#include <vector>

#include "PrivateNetwork.h"
#include "TestSupport.h"

namespace testsupport {

struct RunResult {
  int exitCode = -1;  // -1 when killed (time-out or signal)
  bool timedOut = false;
  std::string out;
  std::string err;
};

class LabNetwork {
public:
  LabNetwork();
  ~LabNetwork();
  LabNetwork(const LabNetwork&) = delete;
  LabNetwork& operator=(const LabNetwork&) = delete;

  // False when the namespaces could not be built; error() says why (e.g. not root).
  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }

  // Starts build/bin/updater-lab ARGS in the lab namespace and waits until its
  // output has the line `readyLine`. Returns the process index, or -1 (see error()).
  int startLab(const std::vector<std::string>& args, const std::string& readyLine = "ready", int timeoutMs = 5000);
  // The same for any program, e.g. a second lab process such as the update server.
  int startInLab(const std::string& program, const std::vector<std::string>& args, const std::string& readyLine,
                 int timeoutMs = 5000);
  std::string labOutput(int index) const;
  std::string labErrors(int index) const;
  // Sends `signal` (SIGTERM by default), then waits; the exit code, or -1 when
  // it had to be killed.
  int stopLab(int index, int timeoutMs = 3000, int signal = 15);

  // Runs PROGRAM ARGS in the program namespace with the private store.
  RunResult run(const std::string& program, const std::vector<std::string>& args, int timeoutMs = 30000);
  RunResult runUpdater(const std::vector<std::string>& args, int timeoutMs = 30000);

  std::string labAddress() const { return subnet_ + ".2"; }
  std::string programAddress() const { return subnet_ + ".1"; }
  const std::string& labNamespace() const { return labNs_; }
  const std::string& programNamespace() const { return programNs_; }
  // The directory that stands in for <home>/.tessoral during run().
  const std::string& storeDir() const { return store_.path(); }

  // The home directory of the password database (where the updater keeps its store).
  static std::string HomeDir();

private:
  struct Process {
    int pid = -1;
    std::string outPath;
    std::string errPath;
  };

  bool build();
  void teardown();

  bool ok_ = false;
  std::string error_;
  std::string programNs_;
  std::string labNs_;
  std::string subnet_;
  TempDir store_;
  TempDir logs_;
  std::vector<Process> labs_;
};

// Moves the calling thread into a named network namespace until destruction.
class NetnsScope {
public:
  explicit NetnsScope(const std::string& name);
  ~NetnsScope();
  NetnsScope(const NetnsScope&) = delete;
  NetnsScope& operator=(const NetnsScope&) = delete;
  bool ok() const { return entered_; }

private:
  int saved_ = -1;
  bool entered_ = false;
};


}  // namespace testsupport
