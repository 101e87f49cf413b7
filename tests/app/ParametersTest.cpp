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
  Parse(r, {"-B", "-C", "-D", "-G", "-I", "-N", "-U", "-OVER", "-Z", "ignored"});
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.p.commands.Bits(), 0xFFu);
  EXPECT_TRUE(r.p.override);
  EXPECT_TRUE(r.display.messages.empty());

  Parsed y;
  Parse(y, {"-Y", "-D"});
  EXPECT_EQ(y.result, 1);
  EXPECT_TRUE(y.p.commands.IsSet(CMD_DISCOVER));  // parsing goes on after the error
  ASSERT_EQ(y.display.messages.size(), 1u);
  EXPECT_EQ(y.display.messages[0].first, Level::Error);
  EXPECT_EQ(y.display.messages[0].second, "Unhandled command: [-Y]");
}

TEST(Parameters, HelpStopsParsingAndAlwaysSucceeds) {
  LogStateGuard guard;
  Parsed r;
  Parse(r, {"-Y", "-d", "zz", "--h", "-D", "-t", "BAD"});
  EXPECT_EQ(r.result, 0);
  EXPECT_TRUE(r.p.helpRequested);
  EXPECT_TRUE(r.p.commands.IsSet(CMD_HELP));
  EXPECT_FALSE(r.p.commands.IsSet(CMD_DISCOVER));
  EXPECT_FALSE(r.p.transportGiven);
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

  for (const char* bad : {"40F5849G", "0", "", "0x", "-1", " 1", "100000000"}) {
    SCOPED_TRACE(bad);
    Parsed r;
    Parse(r, {"-d", bad});
    // A word beginning with "-" is never taken as the argument: no error at all.
    if (bad[0] == '-') {
      EXPECT_EQ(r.result, 0);
      continue;
    }
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

  Parsed missing;
  Parse(missing, {"-U", "-d"});
  EXPECT_EQ(missing.result, 0);
  EXPECT_EQ(missing.p.serialNumber, 0u);
}

TEST(Parameters, TransportIsChosenByItsLeadingLetters) {
  LogStateGuard guard;
  struct Case {
    const char* word;
    uint32_t transport;
    int result;
  } cases[] = {{"USB", 1, 0},      {"USBX", 1, 0},    {"TCP", 2, 0},      {"TCPIP", 2, 0}, {"RECOVER", 255, 0},
               {"RECOVERY", 255, 0}, {"RECOV", 0, 1}, {"US", 0, 1},       {"usb", 0, 1},   {"SERIAL", 0, 1}};
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
                         "]\nMust be one of the following: USB, TCPIP, RECOVER");
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
  EXPECT_EQ(r.result, 0);  // reported, but the run goes on
  EXPECT_EQ(Log::package_bitmask, 0u);
  EXPECT_TRUE(r.p.commands.IsSet(CMD_DISCOVER));
  EXPECT_EQ(r.display.Texts(Level::Error),
            std::vector<std::string>{"Invalid format for \"-X\" parameter, unprocessed characters [ab]"});
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

  // Not all digits, or more than 32 bits: build 0 (the latest) and baud rate 0.
  Parsed bad;
  Parse(bad, {"-b", "abc", "-o", "96k"});
  EXPECT_EQ(bad.result, 0);
  EXPECT_EQ(bad.p.build, "0");
  EXPECT_EQ(bad.p.baudRate, 0);
  Parse(bad, {"-b", "4294967296"});
  EXPECT_EQ(bad.p.build, "0");
  Parse(bad, {"-b", "4294967295"});
  EXPECT_EQ(bad.p.build, "4294967295");

  // -e needs its (ignored) argument word; without it nothing is set.
  Parsed echo;
  Parse(echo, {"-e", "-D"});
  EXPECT_FALSE(echo.p.echo);
  EXPECT_TRUE(echo.p.commands.IsSet(CMD_DISCOVER));
  Parse(echo, {"-e"});
  EXPECT_FALSE(echo.p.echo);
  Parse(echo, {"-Z"});
  EXPECT_FALSE(echo.p.commands.IsSet(CMD_Z));
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
  Parse(r, {"-D", "x y"}, "./updater");
  std::string text = log.Contents();
  EXPECT_EQ(text.rfind("Home directory:[" + r.p.homeDirectory + "]\n", 0), 0u);
  EXPECT_NE(text.find("\nApplication parameters:[updater]\n\t[./updater]\n\t[-D]\n\t[x y]\n"), std::string::npos);
}

TEST(Parameters, ArgumentReadersAcceptOnlyTheirDigits) {
  const char* text = "1aF";
  const char* end = nullptr;
  EXPECT_EQ(cli::_get_hex_arg(text, &end), 0x1AFu);
  EXPECT_EQ(end, text + 3);
  EXPECT_EQ(cli::_get_hex_arg(text, nullptr), 0u);

  const char* empty = "";
  end = nullptr;
  EXPECT_EQ(cli::_get_int_arg(empty, &end), 0u);
  EXPECT_EQ(end, empty);

  for (const char* bad : {"1aF", "+5", "-5", " 5", "5 ", "0x5", "99999999999"}) {
    const char* untouched = nullptr;
    EXPECT_EQ(cli::_get_int_arg(bad, &untouched), 0u) << bad;
    EXPECT_EQ(untouched, nullptr) << bad;
  }
  for (const char* bad : {"0x5", "G", "FFFFFFFF0"}) {
    const char* untouched = nullptr;
    EXPECT_EQ(cli::_get_hex_arg(bad, &untouched), 0u) << bad;
    EXPECT_EQ(untouched, nullptr) << bad;
  }
  EXPECT_EQ(cli::_get_hex_arg("ffffffff", &end), 0xFFFFFFFFu);
  EXPECT_EQ(cli::_get_int_arg("007", &end), 7u);
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
