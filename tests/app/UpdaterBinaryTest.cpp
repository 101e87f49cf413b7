// Runs the real program and checks the exact texts, streams and exit codes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "AppTestSupport.h"
#include "TestSupport.h"

using apptest::Golden;
using apptest::RunOptions;
using apptest::RunProgram;
using apptest::RunResult;

namespace {

RunResult Updater(const std::vector<std::string>& args, const RunOptions& options = {}) {
  return RunProgram(testsupport::BinPath("updater"), args, options);
}

std::string FullUsage() {
  return Golden("usage_short.txt") + Golden("usage_parameters.txt") + Golden("usage_extended.txt") +
         Golden("usage_samples.txt");
}

// A failed parse: the reported error, then the two banner lines and the short usage.
void ExpectParseFailure(const std::vector<std::string>& args, const std::string& error) {
  SCOPED_TRACE(args.empty() ? "" : args[0]);
  RunResult r = Updater(args);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, Golden("banner_error.txt"));
  EXPECT_EQ(r.err, error + "\n" + Golden("usage_short.txt"));
}

// Private namespaces with a temporary home, so runs that reach the store never
// touch the real home and nothing they send can leave the machine.
class IsolatedRun : public ::testing::Test {
protected:
  void SetUp() override {
    if (!testsupport::IsRoot())
      GTEST_SKIP() << "needs root for private mount and network namespaces";
    options.isolate = true;
    options.homeOverlay = home.path();
  }
  testsupport::TempDir home;
  RunOptions options;
};

}  // namespace

TEST(UpdaterBinary, NoArgumentsPrintsBannerAndShortUsage) {
  RunResult r = Updater({});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, Golden("banner_full.txt"));
  EXPECT_EQ(r.err, Golden("usage_short.txt"));
}

TEST(UpdaterBinary, EveryHelpSpellingPrintsAllUsageTextsAndStopsParsing) {
  // -h -D must not discover, and -h -Y must not complain: parsing ends at the help option.
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"-h"}, {"-H"}, {"--help"}, {"--he"}, {"-h", "-D"}, {"-h", "-Y"}, {"stray", "-H", "-d", "zz"}}) {
    SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
    RunResult r = Updater(args);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, Golden("banner_full.txt"));
    EXPECT_EQ(r.err, FullUsage());
  }
}

TEST(UpdaterBinary, MalformedCommandLinesFailWithTheirMessage) {
  ExpectParseFailure({"-d", "40F5849G"}, "Invalid serial number obtained from argument [40F5849G]");
  ExpectParseFailure({"-d", "0x"}, "Invalid serial number obtained from argument []");
  ExpectParseFailure({"-D", "-d", "0"}, "Invalid serial number obtained from argument [0]");
  ExpectParseFailure({"-r", "0xZZ"}, "Invalid router serial number obtained from argument [ZZ]");
  ExpectParseFailure({"-t", "SERIAL"},
                     "Invalid transport type:[SERIAL]\nMust be one of the following: USB, TCPIP, RECOVER");
  ExpectParseFailure({"-Y"}, "Unhandled command: [-Y]");
  // More than 32 bits would otherwise be cut to a different device's serial number.
  ExpectParseFailure({"-d", "140F5849A"}, "Invalid serial number obtained from argument [140F5849A]");
}

TEST(UpdaterBinary, OverLongArgumentsAreReportedNotCrashedOn) {
  std::string longSerial(5000, 'G');
  RunResult r = Updater({"-d", longSerial});
  EXPECT_EQ(r.exitCode, 1);
  // The message is cut to 2047 characters, then the display adds its line feed.
  std::string firstLine = r.err.substr(0, r.err.find('\n'));
  EXPECT_EQ(firstLine.size(), 2047u);
  EXPECT_EQ(firstLine.rfind("Invalid serial number obtained from argument [GGG", 0), 0u);

  // A 100,000-digit build number is out of range and so means the latest build;
  // with the help option the run then ends normally.
  RunResult b = Updater({"-b", std::string(100000, '9'), "-u", std::string(100000, 'u'), "-h"});
  EXPECT_EQ(b.exitCode, 0);
  EXPECT_EQ(b.err, FullUsage());
}

TEST(UpdaterBinary, UnopenableLogFileIsReportedAndTheRunGoesOn) {
  RunResult r = Updater({"-k", "/nonexistent-dir/updater.log", "-h"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, Golden("banner_full.txt"));
  ASSERT_EQ(r.err.rfind("Could not open log file /nonexistent-dir/updater.log", 0), 0u) << r.err;
  EXPECT_EQ(r.err.substr(r.err.find('\n') + 1), FullUsage());
}

TEST_F(IsolatedRun, CommandWithoutActionCreatesTheStoreAndPrintsOnlyTheVersion) {
  for (const char* command : {"-I", "-C"}) {
    SCOPED_TRACE(command);
    RunResult r = Updater({command}, options);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Updater (Version: 1.1 Jan 21 2023)\n");
    EXPECT_EQ(r.err, "");
  }
  struct stat st;
  ASSERT_EQ(stat(home.file(".tessoral/updater").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0755u);
}

TEST_F(IsolatedRun, ParseErrorsThatAreSkippedLeaveTheRunAlone) {
  // -d as the last word is a skipped parse error, so -U has no device.
  RunResult r = Updater({"-U", "-d"}, options);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "Updater (Version: 1.1 Jan 21 2023)\n");
  EXPECT_EQ(r.err, "Must specify the specific device to be updated\n");

  // Leftover characters in the log mask are reported but do not fail the run.
  r = Updater({"-X", "12ab", "-I"}, options);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err, "Invalid format for \"-X\" parameter, unprocessed characters [ab]\n");

  r = Updater({"-B"}, options);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "Error must supply a serial number for the List Builds command\n" + Golden("usage_short.txt"));

  r = Updater({"-N", "-G", "-d", "1"}, options);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "Must specify the serial port used for connecting\n");

  r = Updater({"-G"}, options);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "-G must specify a specific device via -d\n--help for usage information\n");
}

TEST_F(IsolatedRun, DownloadWithNonNumericBuildAsksForTheLatest) {
  // The private network namespace has no usable interface: the request fails at once.
  RunResult r = Updater({"-b", "abc", "-G", "-d", "1", "-u", "http://127.0.0.1:9/cgi/u"}, options);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out.rfind("Updater (Version: 1.1 Jan 21 2023)\n"
                        "Retrieving firmware for device with serial number 00000001\n"
                        "Retrieving firmware build 0\n",
                        0),
            0u)
      << r.out;
}

TEST_F(IsolatedRun, DiscoveryIgnoresUnknownOptionsAndListsUsbByDefault) {
  RunResult r = Updater({"-D", "-Q"}, options);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out.rfind("Updater (Version: 1.1 Jan 21 2023)\nSearching for Kovalink devices\n"
                        "Discovered Devices: (USB)\n",
                        0),
            0u)
      << r.out;
}

namespace {

// A user id with no entry in the password database: the home then comes from HOME.
const uid_t kUserWithoutEntry = 54321;

class NoPasswordEntry : public ::testing::Test {
protected:
  void SetUp() override {
    if (!testsupport::IsRoot())
      GTEST_SKIP() << "needs root to run as a user without a password entry";
    options.uid = kUserWithoutEntry;
    options.replaceEnvironment = true;
    chmod(dir.path().c_str(), 0777);
  }
  testsupport::TempDir dir;
  RunOptions options;
};

}  // namespace

TEST_F(NoPasswordEntry, HomeFromEnvironmentHoldsTheStore) {
  options.environment = {"HOME=" + dir.path()};
  RunResult r = Updater({"-I"}, options);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  struct stat st;
  EXPECT_EQ(stat(dir.file(".tessoral/updater").c_str(), &st), 0);
}

TEST_F(NoPasswordEntry, MissingOrOverLongHomeIsAClearError) {
  // No home at all: nothing is created at the root of the file system, and the
  // log file named by -k receives the debug line.
  std::string log = dir.file("run.log");
  RunResult r = Updater({"-k", log, "-X", "0x10000", "-I"}, options);
  const std::string noHome = "Could not determine the home directory of this user\n"
                             "Could not find updater directory at \n";
  EXPECT_EQ(r.exitCode, 1);
  // The parse-time debug lines precede the -k file and still go to stderr.
  EXPECT_NE(r.err.find("\nApplication parameters:[updater]\n\t["), std::string::npos);
  EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), noHome.size())), noHome);
  EXPECT_NE(testsupport::ReadFile(log).find("Updater: FailedaDirectory_GetHomeDirectory()==> "), std::string::npos);

  // A home longer than the 2048-byte buffer would be cut to some other path.
  options.environment = {"HOME=" + dir.path() + "/" + std::string(3000, 'h')};
  r = Updater({"-I"}, options);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, noHome);
}
