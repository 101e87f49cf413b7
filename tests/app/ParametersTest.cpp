#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "AppTestSupport.h"
#include "Log.h"
#include "Parameters.h"
#include "UpdaterDirectory.h"

using apptest::CaptureFile;
using apptest::LogStateGuard;
using apptest::RecordingDisplay;
using Level = UpdaterDisplayInterface::Level;

namespace {

struct Parsed {
  int result;
  Parameters p;
  RecordingDisplay display;
};

void Parse(Parsed& out, std::vector<const char*> words, const char* argv0 = "/usr/local/bin/updater") {
  words.insert(words.begin(), argv0);
  out.result = cli::_get_params(out.display, static_cast<int>(words.size()), words.data(), out.p);
}

}  // namespace

TEST(Parameters, DefaultsAndApplicationName) {
  LogStateGuard guard;
  Parsed r;
  Parse(r, {});
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.p.commands.Bits(), 0u);
  EXPECT_EQ(r.p.transport, 1u);
  EXPECT_FALSE(r.p.transportGiven);
  EXPECT_EQ(r.p.baudRate, 115200);
  EXPECT_EQ(r.p.serverUrl, "http://updates.tessoral.com/cgi/u");
  EXPECT_EQ(r.p.logMode, "a+");
  EXPECT_EQ(r.p.logFile, "Updater.log");
  EXPECT_TRUE(r.p.showExtendedUsage);
  EXPECT_FALSE(r.p.helpRequested);
  EXPECT_EQ(r.p.build, "");
  EXPECT_EQ(r.p.applicationName, "updater");
  EXPECT_FALSE(r.p.homeDirectory.empty());

  Parsed windows;
  Parse(windows, {}, "C:\\tools/bin\\Updater.exe");
  EXPECT_EQ(windows.p.applicationName, "Updater.exe");
}

TEST(Parameters, CommandsOverrideAndUnhandledCommand) {
  LogStateGuard guard;
  Parsed r;
  Parse(r, {"-B", "-C", "-G", "-I", "-N", "-OVER", "-Z", "ignored"});
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.p.commands.Bits(), 0xFFu & ~(CMD_DISCOVER | CMD_UPDATE));
  EXPECT_TRUE(r.p.override);
  EXPECT_TRUE(r.display.messages.empty());

  Parsed y;
  Parse(y, {"-Y", "-D"});
  EXPECT_EQ(y.result, 1);
  EXPECT_FALSE(y.p.commands.IsSet(CMD_DISCOVER));  // the first error ends the parse
  ASSERT_EQ(y.display.messages.size(), 1u);
  EXPECT_EQ(y.display.messages[0].first, Level::Error);
  EXPECT_EQ(y.display.messages[0].second, "Unhandled command: [-Y]");
}

TEST(Parameters, HelpStopsParsingAndAlwaysSucceeds) {
  LogStateGuard guard;
  Parsed r;
  Parse(r, {"-d", "12", "--h", "-Y", "-D", "-t", "BAD", "stray"});
  EXPECT_EQ(r.result, 0);
  EXPECT_TRUE(r.p.helpRequested);
  EXPECT_TRUE(r.p.commands.IsSet(CMD_HELP));
  EXPECT_FALSE(r.p.commands.IsSet(CMD_DISCOVER));
  EXPECT_FALSE(r.p.transportGiven);
  EXPECT_TRUE(r.display.messages.empty());

  // An error before the help option is still a refused command line.
  Parsed bad;
  Parse(bad, {"-d", "zz", "-h"});
  EXPECT_EQ(bad.result, 1);
  EXPECT_FALSE(bad.p.helpRequested);
}

TEST(Parameters, SerialNumbersAcceptHexWithOrWithoutPrefix) {
  LogStateGuard guard;
  CaptureFile log;
  Log::SetOutput(log.get());
  Log::package_bitmask = DEBUG_Updater;

  Parsed plain, prefixed, router;
  Parse(plain, {"-d", "40F5849A"});
  EXPECT_EQ(log.Contents(), "");
  Parse(prefixed, {"-d", "0X40f5849a"});
  EXPECT_EQ(log.Contents(), "Discarding '0x' serial number prefix\n");
  EXPECT_EQ(plain.p.serialNumber, 0x40F5849Au);
  EXPECT_EQ(prefixed.p.serialNumber, 0x40F5849Au);
  Parse(router, {"-r=0xD272031D"});
  EXPECT_EQ(router.p.routerSerialNumber, 0xD272031Du);
  EXPECT_EQ(log.Contents(),
            "Discarding '0x' serial number prefix\nDiscarding '0x' router serial number prefix\n");
  // The module address is read as the listing shows it: hexadecimal, 0x or not.
  Parsed listed, hex, odd;
  Parse(listed, {"-m", "0A"});
  Parse(hex, {"-m", "0xFC"});
  Parse(odd, {"-m", "10A"});
  EXPECT_EQ(listed.p.moduleAddress, 10);
  EXPECT_EQ(hex.p.moduleAddress, 252);
  EXPECT_EQ(odd.result, 1);

  for (const char* bad : {"40F5849G", "0", "", "0x", " 1", "100000000"}) {
    SCOPED_TRACE(bad);
    Parsed r;
    Parse(r, {"-d", bad});
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.p.serialNumber, 0u);
    std::string shown = bad;
    if (shown.rfind("0x", 0) == 0)
      shown.erase(0, 2);
    EXPECT_EQ(r.display.Texts(Level::Error),
              std::vector<std::string>{"Invalid serial number obtained from argument [" + shown + "]"});
  }
  Parsed badRouter;
  Parse(badRouter, {"-r", "xyz"});
  EXPECT_EQ(badRouter.result, 1);
  EXPECT_EQ(badRouter.display.Texts(Level::Error),
            std::vector<std::string>{"Invalid router serial number obtained from argument [xyz]"});

  // A word beginning with "-" is never taken as the value: the value is missing.
  for (std::vector<const char*> words : {std::vector<const char*>{"-U", "-d"}, {"-d", "-1"}, {"-r", "-D"}}) {
    Parsed missing;
    Parse(missing, words);
    EXPECT_EQ(missing.result, 1);
    EXPECT_EQ(missing.p.serialNumber, 0u);
    EXPECT_EQ(missing.display.Texts(Level::Error),
              std::vector<std::string>{std::string("Missing value for option [") + (words[0][1] == 'U' ? "-d" : words[0]) + "]"});
  }
}

TEST(Parameters, TransportIsMatchedWholeInAnyCase) {
  LogStateGuard guard;
  struct Case {
    const char* word;
    uint32_t transport;
    int result;
  } cases[] = {{"USB", 1, 0},      {"usb", 1, 0},    {"TCP", 2, 0},      {"TcpIp", 2, 0}, {"RECOVER", 255, 0},
               {"recover", 255, 0}, {"USBX", 0, 1},  {"RECOVERY", 0, 1}, {"TCPI", 0, 1},  {"RECOV", 0, 1},
               {"US", 0, 1},        {"", 0, 1},      {"SERIAL", 0, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    Parsed r;
    Parse(r, {"-t", c.word});
    EXPECT_EQ(r.result, c.result);
    EXPECT_EQ(r.p.transport, c.transport);
    EXPECT_TRUE(r.p.transportGiven);
    std::vector<std::string> expected;
    if (c.result)
      expected.push_back(std::string("Invalid transport type:[") + c.word +
                         "]; must be one of the following: USB, TCPIP, RECOVER");
    EXPECT_EQ(r.display.Texts(Level::Error), expected);
  }
}

TEST(Parameters, LogMaskIsHexOrDecimalAndRejectsLeftovers) {
  for (const char* mask : {"0x00000400", "1024", "0X400"}) {
    LogStateGuard guard;
    Log::package_bitmask = 0;
    Parsed r;
    Parse(r, {"-X", mask});
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.p.logMask, 0x400u);
    EXPECT_EQ(Log::package_bitmask, 0x400u) << mask;
  }
  LogStateGuard guard;
  Log::package_bitmask = 0;
  Parsed r;
  Parse(r, {"-X", "12ab", "-D"});
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(Log::package_bitmask, 0u);
  EXPECT_FALSE(r.p.commands.IsSet(CMD_DISCOVER));
  EXPECT_EQ(r.display.Texts(Level::Error),
            std::vector<std::string>{"Invalid format for \"-X\" parameter, unprocessed characters [ab]"});
  for (const char* bad : {"", "4294967296", "0x1FFFFFFFF"}) {
    Parsed b;
    Parse(b, {"-X", bad});
    EXPECT_EQ(b.result, 1) << bad;
    EXPECT_EQ(b.display.Texts(Level::Error),
              std::vector<std::string>{std::string("Invalid value for option [-X]: [") + bad + "]"});
  }
  EXPECT_EQ(Log::package_bitmask, 0u);
}

TEST(Parameters, NumericAndTextParameters) {
  LogStateGuard guard;
  Parsed r;
  Parse(r, {"-b", "99528558", "-o", "9600", "-f", "fw.bird", "-s", "/dev/ttyS0", "-l", "note", "-k", "x.log", "-u",
            "http://127.0.0.1:1/cgi/u", "-n", "-e", "1"});
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.p.build, "99528558");
  EXPECT_EQ(r.p.baudRate, 9600);
  EXPECT_EQ(r.p.birdFile, "fw.bird");
  EXPECT_EQ(r.p.serialPort, "/dev/ttyS0");
  EXPECT_EQ(r.p.logMessage, "note");
  EXPECT_EQ(r.p.logFile, "x.log");
  EXPECT_TRUE(r.p.logFileGiven);
  EXPECT_EQ(r.p.serverUrl, "http://127.0.0.1:1/cgi/u");
  EXPECT_TRUE(r.p.nFlag);
  EXPECT_TRUE(r.p.echo);

  Parsed big;
  Parse(big, {"-b", "4294967295", "-o", "230400"});
  EXPECT_EQ(big.result, 0);
  EXPECT_EQ(big.p.build, "4294967295");
  EXPECT_EQ(big.p.baudRate, 230400);

  // -e and -Z keep taking an (ignored) argument word; without it the line is refused.
  Parsed echo;
  Parse(echo, {"-e", "-D"});
  EXPECT_EQ(echo.result, 1);
  EXPECT_FALSE(echo.p.echo);
  Parse(echo, {"-Z", "1"});
  EXPECT_EQ(echo.result, 0);
  EXPECT_TRUE(echo.p.commands.IsSet(CMD_Z));
}

TEST(Parameters, ArgumentsAreLoggedUnderTheApplicationPackage) {
  LogStateGuard guard;
  CaptureFile log;
  Log::SetOutput(log.get());
  Log::package_bitmask = 0;
  Parsed quiet;
  Parse(quiet, {"-D"});
  EXPECT_EQ(log.Contents(), "");

  Log::package_bitmask = DEBUG_APP;
  Parsed r;
  Parse(r, {"-D", "-f", "x y"}, "./updater");
  std::string text = log.Contents();
  EXPECT_EQ(text.rfind("Home directory:[" + r.p.homeDirectory + "]\n", 0), 0u);
  EXPECT_NE(text.find("\nApplication parameters:[updater]\n\t[./updater]\n\t[-D]\n\t[-f]\n\t[x y]\n"), std::string::npos);
}

TEST(Parameters, UpdaterDirectoryLiesBelowTheUsersHome) {
  // Reads the home only; nothing is created.
  const struct passwd* pw = getpwuid(getuid());
  ASSERT_NE(pw, nullptr);
  std::string home;
  ASSERT_TRUE(ReadHomeDirectory(home));
  EXPECT_EQ(home, pw->pw_dir);
  EXPECT_EQ(cli::_build_updater_directory(), std::string(pw->pw_dir) + "/.tessoral/updater");
  EXPECT_FALSE(EnsureUpdaterDirectory(""));
}

TEST(Parameters, SeveralModulesAreForUpdateOnly) {
  Parsed list;
  Parse(list, {"-U", "-d", "0000A001,0x0000a002", "-d", "0000A003", "-d", "0000A001", "-j", "3"});
  ASSERT_EQ(list.result, 0) << ::testing::PrintToString(list.display.Texts(Level::Error));
  EXPECT_EQ(list.p.serialNumbers, (std::vector<uint32_t>{0xA001, 0xA002, 0xA003}));
  EXPECT_EQ(list.p.serialNumber, 0xA001u);
  EXPECT_EQ(list.p.parallel, 3u);
  EXPECT_TRUE(list.p.IsFleet());

  Parsed one, all;
  Parse(one, {"-U", "-d", "0000A001", "-d", "0000A001"});
  EXPECT_EQ(one.result, 0);
  EXPECT_FALSE(one.p.IsFleet());
  Parse(all, {"-G", "-U", "-d", "ALL", "-t", "tcp"});
  EXPECT_EQ(all.result, 0);
  EXPECT_TRUE(all.p.allModules);
  EXPECT_EQ(all.p.parallel, 8u);

  const struct {
    std::vector<const char*> words;
    const char* error;
  } refused[] = {
      {{"-U", "-d", "0000A001,zz"}, "Invalid serial number obtained from argument [zz]"},
      {{"-U", "-d", "0000A001,"}, "Invalid serial number obtained from argument []"},
      {{"-B", "-d", "0000A001,0000A002"}, "Several modules (-d) can only be updated together (-U)"},
      {{"-G", "-d", "0000A001", "-d", "0000A002"}, "Several modules (-d) can only be updated together (-U)"},
      {{"-U", "-t", "RECOVER", "-d", "all"}, "Several modules (-d) can only be updated together (-U)"},
      {{"-U", "-d", "all"}, "-d all needs the transport to search: -t USB or -t TCPIP"},
      {{"-U", "-d", "all", "-d", "0000A001", "-t", "USB"}, "-d all cannot be given with serial numbers"},
      {{"-U", "-d", "0000A001", "-j", "0"}, "Invalid value for option [-j]: [0]"},
      {{"-U", "-d", "0000A001", "-j", "65"}, "Invalid value for option [-j]: [65]"},
      {{"-U", "-d", "0000A001", "-j", "4x"}, "Invalid value for option [-j]: [4x]"},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.error);
    Parsed parsed;
    Parse(parsed, r.words);
    EXPECT_EQ(parsed.result, 1);
    EXPECT_EQ(parsed.display.Texts(Level::Error), std::vector<std::string>{r.error});
  }
}

// --watch, --dry-run and --force belong to -U over a module link; --watch keeps the -d words
// as given, for its prefixes, and needs no transport for -d all.
TEST(Parameters, StationOptionsGoWithUpdateAndKeepTheSerialWords) {
  Parsed watch;
  Parse(watch, {"-U", "--watch", "-d", "0x40f5,0000be", "-j", "2"});
  ASSERT_EQ(watch.result, 0) << ::testing::PrintToString(watch.display.Texts(Level::Error));
  EXPECT_TRUE(watch.p.watch);
  EXPECT_EQ(watch.p.serialWords, (std::vector<std::string>{"40F5", "0000BE"}));
  Parsed all;
  Parse(all, {"-U", "--watch", "-d", "all", "--force"});
  EXPECT_EQ(all.result, 0) << ::testing::PrintToString(all.display.Texts(Level::Error));
  EXPECT_TRUE(all.p.force);

  const struct {
    std::vector<const char*> words;
    const char* error;
  } refused[] = {
      {{"-D", "--watch"}, "Option [--watch] needs -U (not -t RECOVER)"},
      {{"-U", "-t", "RECOVER", "-s", "/dev/ttyS0", "--dry-run"}, "Option [--dry-run] needs -U (not -t RECOVER)"},
      {{"-G", "-d", "1", "--force"}, "Option [--force] needs -U (not -t RECOVER)"},
      {{"-U", "--watch", "--dry-run"}, "Options [--watch] and [--dry-run] cannot be given together"},
      {{"-U", "--watch", "-r", "D00D"},
       "Option [--watch] takes modules attached over USB or TCP/IP, not behind a router (-r)"},
      {{"-U", "--dry-run", "-d", "all"}, "-d all needs the transport to search: -t USB or -t TCPIP"},
  };
  for (const auto& r : refused) {
    Parsed parsed;
    Parse(parsed, r.words);
    EXPECT_EQ(parsed.result, 1) << r.error;
    EXPECT_EQ(parsed.display.Texts(Level::Error), std::vector<std::string>{r.error});
  }
}
