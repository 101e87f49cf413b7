// The store as a careless or hostile hand may leave it: lock files that are
// links, settings that are not files, a full disk, a store that cannot be
// made; and what outside text may carry onto the terminal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "BirdTestHelpers.h"
#include "LabNetwork.h"
#include "TestSupport.h"

using testsupport::LabNetwork;
using testsupport::RunResult;
using testsupport::TempDir;

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string Bird(uint32_t build, const std::string& version, size_t kilobytes) {
  return birdtest::GenericHolvexBird(build, version, kilobytes * 1024, build);
}

class StoreSafetyE2E : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    net = new LabNetwork;
    files = new TempDir;
    if (!net->ok()) return;
    mkdir(files->file("Holvex").c_str(), 0755);
    testsupport::WriteFile(files->file("Holvex/1234.bird"), Bird(1234, "1.2.3", 64));
    testsupport::WriteFile(files->file("Holvex/1300.bird"), Bird(1300, "1.3\x1b[31m", 4));
    testsupport::WriteFile(files->file("generic.bird"), Bird(500, "1.2.3", 4));
    std::vector<std::string> args = {"modules"};
    for (const char* serial : {"0000BE61", "0000BE62", "0000BE63", "0000BE64", "0000BE65"})
      args.insert(args.end(), {"--module", std::string("serial=") + serial + ",port=90" + (serial + 6)});
    modules = net->startLab(args);
    server = net->startLab({"server", "--catalogue", files->path(), "--device", "0000BEEF:Holvex", "--device",
                            "0000BEE2:Holvex", "--host", net->labAddress(), "--port", "8080"});
  }
  static void TearDownTestSuite() {
    delete net;
    delete files;
  }
  void SetUp() override {
    if (!net->ok()) GTEST_SKIP() << net->error();
    ASSERT_GE(modules, 0) << net->error();
    ASSERT_GE(server, 0) << net->error();
  }
  std::string Url() const { return "http://" + net->labAddress() + ":8080/cgi/u"; }
  // The entry's directory in the test's store, made when missing.
  std::string Entry(const std::string& serial) {
    std::string entry = net->storeDir() + "/updater/" + serial;
    mkdir((net->storeDir() + "/updater").c_str(), 0755);
    mkdir(entry.c_str(), 0755);
    return entry;
  }
  // The same path as the updater sees it, through the store bound over ~/.tessoral.
  static std::string Seen(const std::string& serial, const std::string& file) {
    return LabNetwork::HomeDir() + "/.tessoral/updater/" + serial + "/" + file;
  }
  RunResult Update(const std::string& serial, const std::vector<std::string>& environment = {}) {
    std::vector<std::string> args = environment;
    args.insert(args.end(), {testsupport::BinPath("updater"), "-U", "-d", serial, "-f", files->file("generic.bird")});
    return net->run("/usr/bin/env", args);
  }

  static LabNetwork* net;
  static TempDir* files;
  static int modules, server;
};

LabNetwork* StoreSafetyE2E::net = nullptr;
TempDir* StoreSafetyE2E::files = nullptr;
int StoreSafetyE2E::modules = -1;
int StoreSafetyE2E::server = -1;

}  // namespace

// A lock file that is a symbolic link is never opened through: its target
// keeps its bytes, and the run says which file is in the way.
TEST_F(StoreSafetyE2E, LockFilesThatAreLinksAreRefusedAndTheirTargetsKept) {
  TempDir outside;
  const std::string victim = outside.file("victim"), kept = "fourteen bytes";
  testsupport::WriteFile(victim, kept);

  ASSERT_EQ(symlink(victim.c_str(), (Entry("0000BE61") + "/.update.lock").c_str()), 0);
  RunResult r = Update("0000BE61");
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_TRUE(Has(r.err, "Lock file " + Seen("0000BE61", ".update.lock") +
                             " is not a regular file; remove it and run again\n"))
      << r.err;
  EXPECT_FALSE(Has(r.out, "Transferring")) << r.out;

  // The entry's own lock, taken to record the update.
  ASSERT_EQ(symlink(victim.c_str(), (Entry("0000BE62") + "/.lock").c_str()), 0);
  r = Update("0000BE62");
  EXPECT_TRUE(Has(r.err, "Lock file " + Seen("0000BE62", ".lock") + " is not a regular file")) << r.err;

  // A download's lock.
  ASSERT_EQ(symlink(victim.c_str(), (Entry("0000BEE2") + "/.download-1234.lock").c_str()), 0);
  r = net->runUpdater({"-G", "-d", "0000BEE2", "-b", "1234", "-u", Url()});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_TRUE(Has(r.err, "Lock file " + Seen("0000BEE2", ".download-1234.lock") + " is not a regular file")) << r.err;
  EXPECT_EQ(testsupport::ReadFile(victim), kept);
}

// Settings that are a FIFO or a link to an endless device are not read (they
// would hang the run for ever); the update goes through and records itself.
TEST_F(StoreSafetyE2E, SettingsThatAreNotAFileDoNotHangTheUpdate) {
  ASSERT_EQ(mkfifo((Entry("0000BE63") + "/.settings").c_str(), 0644), 0);
  RunResult r = Update("0000BE63");
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  struct stat st;
  ASSERT_EQ(stat((Entry("0000BE63") + "/.settings").c_str(), &st), 0);
  ASSERT_TRUE(S_ISREG(st.st_mode));  // replaced by the record; reading a FIFO here would hang the test
  EXPECT_TRUE(Has(testsupport::ReadFile(Entry("0000BE63") + "/.settings"), "LATEST_VERIFIED=500\n"));

  ASSERT_EQ(symlink("/dev/zero", (Entry("0000BE64") + "/.settings").c_str()), 0);
  r = net->runUpdater({"-I", "-d", "0000BE64"}, 10000);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}

// A module that is not found leaves no entry: nothing was recorded for it.
TEST_F(StoreSafetyE2E, AbsentModulesLeaveNoEntry) {
  for (const char* serials : {"0000DEA1", "0000DEA2,0000DEA3"}) {
    RunResult r = Update(serials);
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  }
  for (const char* serial : {"0000DEA1", "0000DEA2", "0000DEA3"}) {
    struct stat st;
    EXPECT_NE(stat((net->storeDir() + "/updater/" + serial).c_str(), &st), 0) << serial;
  }
  RunResult r = net->runUpdater({"-I"});
  EXPECT_FALSE(Has(r.out, "0000DEA")) << r.out;
}

// 0, like an empty or malformed value, leaves the default wait in force.
TEST_F(StoreSafetyE2E, ZeroOrEmptyReturnTimeoutMeansTheDefault) {
  for (const char* value : {"0", ""}) {
    RunResult r = Update("0000BE65", {std::string("UPDATER_RETURN_TIMEOUT=") + value});
    EXPECT_EQ(r.exitCode, 0) << value << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "Module 0000BE65 now runs 1.2.3 (build 500)\n")) << value << r.out;
  }
}

// A write into a full store names the file and the system's reason.
TEST_F(StoreSafetyE2E, AFailedStoreWriteNamesThePathAndTheReason) {
  RunResult r = net->run("/bin/sh", {"-c",
                                     "mkdir -p \"$1\" && mount -t tmpfs -o size=8k tmpfs \"$1\" && shift && exec \"$@\"",
                                     "sh", LabNetwork::HomeDir() + "/.tessoral/updater/0000BEEF",
                                     testsupport::BinPath("updater"), "-G", "-d", "0000BEEF", "-b", "1234", "-u", Url()});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_TRUE(Has(r.err, "Failed to write file " + Seen("0000BEEF", "1234.bird") + ": No space left on device\n"))
      << r.err;
}

// Discovery reads and writes nothing in the store: it runs when there can be none.
TEST_F(StoreSafetyE2E, DiscoveryRunsWhenTheStoreCannotBeMade) {
  TempDir other;
  std::string updater = net->storeDir() + "/updater", aside = other.file("updater");
  mkdir(updater.c_str(), 0755);  // run alone, no earlier test has made it
  ASSERT_EQ(rename(updater.c_str(), aside.c_str()), 0);
  testsupport::WriteFile(updater, "a file where the store should be");
  RunResult r = net->runUpdater({"-D", "-t", "TCPIP"});
  RunResult u = Update("0000BE61");
  unlink(updater.c_str());
  ASSERT_EQ(rename(aside.c_str(), updater.c_str()), 0);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "    0000BE61  02       02      Holvex")) << r.out;
  EXPECT_EQ(r.err, "Updater (Version: 1.1 Jan 21 2023)\n");  // piped: the banner alone
  EXPECT_EQ(u.exitCode, 1);
  EXPECT_TRUE(Has(u.err, "Could not find updater directory at ")) << u.err;
}

// Control characters from the command line, the server and the settings file
// are shown escaped, never sent to the terminal as they are.
TEST_F(StoreSafetyE2E, ControlCharactersOfOutsideTextAreShownEscaped) {
  RunResult r = net->runUpdater({"-D", "-d", "0000BE6\x1b[2J"});
  EXPECT_TRUE(Has(r.err, "Invalid serial number obtained from argument [0000BE6\\x1b[2J]\n")) << r.err;

  r = net->runUpdater({"-B", "-d", "0000BEEF", "-u", Url()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "1.3\\x1b[31m")) << r.out;

  testsupport::WriteFile(Entry("0000BE66") + "/.settings", "LATEST_TRANSFER=\x1b]0;title\x07x.bird\n");
  r = net->runUpdater({"-I", "-d", "0000BE66"});
  EXPECT_TRUE(Has(r.out, "\\x1b]0;title\\x07x.bird")) << r.out;
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
}
