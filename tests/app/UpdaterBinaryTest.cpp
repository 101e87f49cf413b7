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

// Piped, as in every test here: the banner goes to stderr, stdout carries results only.
const std::string kBannerLine = "Updater (Version: 1.1 Jan 21 2023)\n";

std::string FullUsage() {
  return Golden("usage_short.txt") + Golden("usage_parameters.txt") + Golden("usage_extended.txt") +
         Golden("usage_samples.txt");
}

// A failed parse: the reported error, then the two banner lines and the short usage.
void ExpectParseFailure(const std::vector<std::string>& args, const std::string& error,
                        const RunOptions& options = {}) {
  SCOPED_TRACE(args.empty() ? "" : args[0]);
  RunResult r = Updater(args, options);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, error + "\n" + Golden("banner_error.txt") + Golden("usage_short.txt"));
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
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, Golden("banner_full.txt") + Golden("usage_short.txt"));
}

TEST(UpdaterBinary, EveryHelpSpellingPrintsAllUsageTextsOnStdoutAndStopsParsing) {
  // -h -D must not discover, and -h -Y must not complain: parsing ends at the help option.
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"-h"}, {"-H"}, {"--help"}, {"--he"}, {"-h", "-D"}, {"-h", "-Y"}, {"-H", "stray", "-d", "zz"}, {"-q", "-h"}}) {
    SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
    RunResult r = Updater(args);
    EXPECT_EQ(r.exitCode, 0);
    // Help asked for is the output a pager reads: all of it on stdout.
    EXPECT_EQ(r.out, Golden("banner_full.txt") + FullUsage());
    EXPECT_EQ(r.err, "");
  }
}

TEST(UpdaterBinary, MalformedCommandLinesFailWithTheirMessage) {
  ExpectParseFailure({"-d", "40F5849G"}, "Invalid serial number obtained from argument [40F5849G]");
  ExpectParseFailure({"-d", "0x"}, "Invalid serial number obtained from argument []");
  ExpectParseFailure({"-D", "-d", "0"}, "Invalid serial number obtained from argument [0]");
  ExpectParseFailure({"-r", "0xZZ"}, "Invalid router serial number obtained from argument [ZZ]");
  ExpectParseFailure({"-t", "SERIAL"},
                     "Invalid transport type:[SERIAL]; must be one of the following: USB, TCPIP, RECOVER");
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

  // A 100,000-digit build number is out of range: refused, never taken for the latest build.
  RunResult b = Updater({"-u", std::string(100000, 'u'), "-b", std::string(100000, '9'), "-h"});
  EXPECT_EQ(b.exitCode, 1);
  EXPECT_EQ(b.err.find('\n'), 2047u);
  EXPECT_EQ(b.err.rfind("Invalid value for option [-b]: [999", 0), 0u);
  EXPECT_EQ(b.err.substr(2048), Golden("banner_error.txt") + Golden("usage_short.txt"));
}

TEST(UpdaterBinary, VersionOptionsPrintTheReleaseAlone) {
  for (const char* option : {"-V", "--version", "--vers"}) {
    SCOPED_TRACE(option);
    // Like help, it ends the parse: what follows is neither run nor refused.
    // What was asked for is the result, -q or not.
    RunResult r = Updater({"-q", option, "-D", "--dry-run"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    // The release the banner's "1.1" abbreviates, in full.
    ASSERT_EQ(r.out.rfind("updater 1.1.", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
    EXPECT_EQ(r.out.find_first_not_of("0123456789", 12), r.out.size() - 1) << r.out;
  }
}

TEST(UpdaterBinary, UnopenableLogFileIsReportedAndTheRunGoesOn) {
  RunResult r = Updater({"-k", "/nonexistent-dir/updater.log", "-h"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, Golden("banner_full.txt") + FullUsage());
  ASSERT_EQ(r.err.rfind("Could not open log file /nonexistent-dir/updater.log", 0), 0u) << r.err;
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
}

TEST_F(IsolatedRun, TheFirstCommandCreatesTheStore) {
  RunResult r = Updater({"-I"}, options);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out.rfind("No modules stored in ", 0), 0u) << r.out;
  EXPECT_EQ(r.err, kBannerLine);
  struct stat st;
  ASSERT_EQ(stat(home.file(".tessoral/updater").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0755u);
}

TEST_F(IsolatedRun, EveryMalformedValueIsRefusedBeforeAnythingRuns) {
  // Each of these used to run a command on a guess (the latest build, the
  // stored build, the default server, USB); the exact output shows nothing ran.
  const std::string transport = "]; must be one of the following: USB, TCPIP, RECOVER";
  const std::string rates = "] (2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400)";
  const std::string even = ": hexadecimal as -D -r lists it, even, from 02 to FE";
  struct Case {
    std::vector<std::string> args;
    std::string error;
  } cases[] = {
      {{"-G", "-d", "1", "-b", "13x0"}, "Invalid value for option [-b]: [13x0]"},
      {{"-U", "-d", "1", "-b", ""}, "Invalid value for option [-b]: []"},
      {{"-U", "-d", "1", "-b"}, "Missing value for option [-b]"},
      {{"-U", "-d", "1", "-f"}, "Missing value for option [-f]"},
      {{"-U", "-d"}, "Missing value for option [-d]"},
      {{"-B", "-d", "1", "-u"}, "Missing value for option [-u]"},
      {{"-B", "-d", "1", "-u", ""}, "Invalid value for option [-u]: []"},
      {{"-N", "-s", "-G"}, "Missing value for option [-s]"},
      {{"-I", "-k"}, "Missing value for option [-k]"},
      {{"-I", "-l", "-D"}, "Missing value for option [-l]"},
      {{"-D", "-r", "D2720G1D"}, "Invalid router serial number obtained from argument [D2720G1D]"},
      {{"-D", "-r", "D272031DX"}, "Invalid router serial number obtained from argument [D272031DX]"},
      {{"-U", "-d", "1", "-r", "2", "-m", "0"}, "Invalid module address obtained from argument [0]" + even},
      {{"-U", "-d", "1", "-r", "2", "-m", "256"}, "Invalid module address obtained from argument [256]" + even},
      {{"-U", "-d", "1", "-r", "2", "-m", "0x0B"}, "Invalid module address obtained from argument [0x0B]" + even},
      {{"-U", "-d", "1", "-r", "2", "-m", "10A"}, "Invalid module address obtained from argument [10A]" + even},
      {{"-U", "-d", "1", "-r", "2", "-m"}, "Missing value for option [-m]"},
      {{"-U", "-t", "RECOVER", "-s", "/dev/null", "-o", "1234"}, "Invalid value for option [-o]: [1234" + rates},
      {{"-U", "-t", "RECOVER", "-s", "/dev/null", "-o", "96k"}, "Invalid value for option [-o]: [96k" + rates},
      {{"-D", "-t", "USBX"}, "Invalid transport type:[USBX" + transport},
      {{"-D", "-t", "RECOVERY"}, "Invalid transport type:[RECOVERY" + transport},
      {{"-I", "-X", "12ab"}, "Invalid format for \"-X\" parameter, unprocessed characters [ab]"},
      {{"-I", "-X", "0x"}, "Invalid value for option [-X]: [0x]"},
      {{"-D", "--dry-run"}, "Option [--dry-run] needs -U (not -t RECOVER)"},
      {{"-B", "-d", "1", "--jsonl"}, "Unknown option [--jsonl]"},
      {{"-D", "-Q"}, "Unknown option [-Q]"},
      {{"-DU"}, "Unknown option [-DU]"},
      {{"-D=now"}, "Option [-D] takes no value: [now]"},
      {{"-U", "-d", "1", "fw.bird"}, "Unexpected argument [fw.bird]"},
      {{"-D", "-U", "-d", "1"}, "Options [-D] and [-U] cannot be given together"},
      {{"-U", "-d", "1", "-B"}, "Options [-U] and [-B] cannot be given together"},
      {{"-B", "-D", "-d", "1"}, "Options [-D] and [-B] cannot be given together"},
  };
  for (const Case& c : cases)
    ExpectParseFailure(c.args, c.error, options);

  // The transport word is matched whole but in any case.
  RunResult r = Updater({"-D", "-t", "usb"}, options);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("Discovered Devices: (USB)\n"), std::string::npos) << r.out;
}

// A refused --json run still hands the script a document, and its messages stay off stdout.
TEST_F(IsolatedRun, RefusedJsonRunPrintsADocumentWithoutACommand) {
  const std::string banner = Golden("banner_error.txt");
  RunResult r = Updater({"--json"}, options);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out.find("{\n  \"command\": \"none\",\n  \"exit_code\": 1,\n"), 0u) << r.out;
  EXPECT_NE(r.out.find("\"text\": \"Option [--json] needs one of -D, -B, -G, -N, -U, -C, -I\"\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "Option [--json] needs one of -D, -B, -G, -N, -U, -C, -I\n" + banner + Golden("usage_short.txt"));

  r = Updater({"--json", "-D", "-Q"}, options);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out.find("{\n  \"command\": \"none\",\n  \"exit_code\": 1,\n"), 0u) << r.out;
  EXPECT_NE(r.out.find("\"text\": \"Unknown option [-Q]\"\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Updater"), std::string::npos) << r.out;
}

TEST_F(IsolatedRun, CommandsMissingTheirDeviceOrPort) {
  RunResult r = Updater({"-U"}, options);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, kBannerLine + "Must specify the specific device to be updated\n");

  r = Updater({"-B"}, options);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, kBannerLine + "Error must supply a serial number for the List Builds command\n" +
                       Golden("usage_short.txt"));

  r = Updater({"-N", "-G", "-d", "1"}, options);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, kBannerLine + "Must specify the serial port used for connecting\n");

  r = Updater({"-G"}, options);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, kBannerLine + "-G must specify a specific device via -d\n--help for usage information\n");
}

TEST_F(IsolatedRun, DownloadFromAServerThatCannotBeReachedFails) {
  // The private network namespace has no usable interface: the request fails at once.
  RunResult r = Updater({"-b", "0", "-G", "-d", "1", "-u", "http://127.0.0.1:9/cgi/u"}, options);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out.rfind("Retrieving firmware for device with serial number 00000001\n"
                        "Retrieving firmware build 0\n",
                        0),
            0u)
      << r.out;
}

TEST_F(IsolatedRun, EmptyDiscoverySaysWhereItLookedAndHowToLookElsewhere) {
  RunResult r = Updater({"-D"}, options);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "Searching for Kovalink devices\n"
                   "Discovered Devices: (USB)\n    No devices found.\n"
                   "No modules found over USB; -t TCPIP searches the network\n");
  EXPECT_EQ(r.err, kBannerLine);
  // -q: the listing alone, on stdout.
  r = Updater({"-D", "-q"}, options);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "Discovered Devices: (USB)\n    No devices found.\n");
  EXPECT_EQ(r.err, kBannerLine);
  // -q and -v say opposite things.
  ExpectParseFailure({"-D", "-q", "-v"}, "Options [-q] and [-v] cannot be given together", options);
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
  EXPECT_EQ(r.err, kBannerLine + noHome);
}
