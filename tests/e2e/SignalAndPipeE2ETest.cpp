// An update run the way scripts run it: under coreutils `timeout`, signalled
// twice in a row, piped into a reader that stops early, writing its result
// into a full disk. Each must end with a word and a result, never silently.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "BirdTestHelpers.h"
#include "JsonSchemaCheck.h"
#include "LabNetwork.h"
#include "TestSupport.h"

using testsupport::LabNetwork;
using testsupport::RunResult;
using testsupport::TempDir;

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// 64 KB of firmware: an update takes a few seconds.
std::string BigBird(uint32_t build) { return birdtest::GenericHolvexBird(build, "1.2.3", 65536, 11); }

int UpdaterMentioning(const std::string& text) {
  return testsupport::ProcessMentioning(testsupport::BinPath("updater"), text);
}

class SignalAndPipeE2E : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    net = new LabNetwork;
    files = new TempDir;
    if (!net->ok()) return;
    testsupport::WriteFile(files->file("big.bird"), BigBird(700));
    lab = net->startLab({"modules", "--module", "serial=0000BE51,port=9001", "--module", "serial=0000BE52,port=9002",
                         "--module", "serial=0000BE53,port=9003", "--module", "serial=0000BE54,port=9004"});
  }
  static void TearDownTestSuite() {
    delete net;
    delete files;
  }
  void SetUp() override {
    if (!net->ok()) GTEST_SKIP() << net->error();
    ASSERT_GE(lab, 0) << net->error();
  }
  // bash -c SCRIPT with $U the updater and $F the BIRD file.
  RunResult Bash(const std::string& script) {
    return net->run("/usr/bin/env", {"U=" + testsupport::BinPath("updater"), "F=" + files->file("big.bird"), "bash",
                                     "-c", script},
                    60000);
  }
  std::string Settings(const std::string& serial) {
    return testsupport::ReadFile(net->storeDir() + "/updater/" + serial + "/.settings");
  }

  static LabNetwork* net;
  static TempDir* files;
  static int lab;
};

LabNetwork* SignalAndPipeE2E::net = nullptr;
TempDir* SignalAndPipeE2E::files = nullptr;
int SignalAndPipeE2E::lab = -1;

}  // namespace

// `timeout` signals the updater and then its process group: one request, so
// the run still says where the module stands and still prints its document.
TEST_F(SignalAndPipeE2E, UnderTimeoutTheUpdateEndsWithItsStateAndItsDocument) {
  for (const char* signal : {"TERM", "INT"}) {
    SCOPED_TRACE(signal);
    RunResult r = Bash(std::string("timeout -s ") + signal + " 2 \"$U\" -U -d 0000BE51 -f \"$F\" --json");
    EXPECT_EQ(r.exitCode, 124) << r.err;  // timeout's own code: it had to signal
    EXPECT_TRUE(Has(r.err, "Update of module [0000BE51] interrupted")) << r.err;
    nlohmann::json document;
    ASSERT_NO_THROW(document = nlohmann::json::parse(r.out)) << r.out;
    EXPECT_EQ(jsonschema::DocumentProblems(nlohmann::json::parse(testsupport::ReadFile(testsupport::SourcePath("packaging/updater-result.schema.json"))), r.out), std::vector<std::string>()) << r.out;
    EXPECT_EQ(document["command"], "update");
    EXPECT_EQ(document["exit_code"], 128 + (std::string(signal) == "TERM" ? SIGTERM : SIGINT));
    ASSERT_EQ(document["results"].size(), 1u) << r.out;
    EXPECT_EQ(document["results"][0]["succeeded"], false);
  }
}

// Two kills a moment apart (a user's script, or `timeout` with a slow
// scheduler) are one request; the state line comes all the same.
TEST_F(SignalAndPipeE2E, ASignalRepeatedAtOnceIsTheSameRequest) {
  bool signalled = false;
  std::thread killer([&] {
    int pid = 0;
    if (!testsupport::WaitUntil([&] { return (pid = UpdaterMentioning("0000BE52")) > 0; }, 10000)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    signalled = kill(pid, SIGTERM) == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    kill(pid, SIGTERM);
  });
  RunResult r = Bash("\"$U\" -U -d 0000BE52 -f \"$F\"");
  killer.join();
  ASSERT_TRUE(signalled);
  EXPECT_EQ(r.exitCode, 128 + SIGTERM) << r.out << r.err;
  EXPECT_TRUE(Has(r.err, "Update of module [0000BE52] interrupted")) << r.err;
}

// A reader that takes one line and goes: the update runs to its end, is
// recorded, and the updater's exit code is the update's own.
TEST_F(SignalAndPipeE2E, AReaderThatStopsEarlyDoesNotEndTheUpdate) {
  RunResult r = Bash("\"$U\" -U -d 0000BE53 -f \"$F\" | head -n 1; echo \"updater=${PIPESTATUS[0]}\"");
  // Piped, the banner goes to stderr: the reader's one line is the update's first.
  EXPECT_EQ(r.out, "Updating from Birdfile: " + files->file("big.bird") + "\nupdater=0\n") << r.err;
  EXPECT_TRUE(Has(Settings("0000BE53"), "LATEST_VERIFIED=700\n")) << Settings("0000BE53");

  // With the document as the reader's only line, and with the error stream gone too.
  r = Bash("\"$U\" --json -U -d 0000BE54 -f \"$F\" 2>&- | head -n 1; echo \"updater=${PIPESTATUS[0]}\"");
  EXPECT_EQ(r.out, "{\nupdater=0\n") << r.err;
  EXPECT_TRUE(Has(Settings("0000BE54"), "LATEST_VERIFIED=700\n")) << Settings("0000BE54");
}

// A result that cannot be written is a failed run, and says so where it can.
TEST_F(SignalAndPipeE2E, ADocumentThatCannotBeWrittenFailsTheRun) {
  RunResult r = Bash("\"$U\" --json -D -t TCPIP > /dev/full");
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_TRUE(Has(r.err, "Discovered Devices: (TCPIP)\n")) << r.err;
  EXPECT_TRUE(Has(r.err, "Could not write the result to the standard output: No space left on device\n")) << r.err;
}
