// Bash completion as bash runs it: the options, the -t values, and for -d and
// -r the serial numbers of the entries in the user's store that record a module.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "LabServerSupport.h"
#include "PrivateNetwork.h"
#include "TestSupport.h"

using testsupport::ProgramResult;
using testsupport::RunProgram;

namespace {

// Sources the completion and prints the candidates for each command line of
// `lines` (words separated by blanks, the last one being completed), one
// result line each, candidates sorted; no candidate at all is a lone blank.
std::string CompletionScript(const std::string& lines, const std::string& program = "updater") {
  return "set -e\n"
         ". '" + testsupport::SourcePath("packaging/completion/" + program) + "'\n"
         "complete -p " + program + " >/dev/null\n"
         "while IFS= read -r line; do\n"
         "  read -r -a COMP_WORDS <<<\"$line\"\n"
         "  case $line in *' ') COMP_WORDS+=(''); esac\n"
         "  COMP_CWORD=$(( ${#COMP_WORDS[@]} - 1 )); COMPREPLY=()\n"
         "  _" + program + " || true\n"
         "  printf '%s\\n' \"${COMPREPLY[@]}\" | sort | tr '\\n' ' '; echo\n"
         "done <<'EOF'\n" + lines + "EOF\n";
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

}  // namespace

TEST(Completion, OffersTheOptionsOfTheHelpAndTheTransportValues) {
  ProgramResult r = RunProgram({"/bin/bash", "-c", CompletionScript("updater \nupdater -t \nupdater -t T\nupdater -o 11\nupdater -t tc\n")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::vector<std::string> out = Lines(r.out);
  ASSERT_EQ(out.size(), 5u) << r.out;
  // Every option of the usage texts is offered.
  ProgramResult help = RunProgram({testsupport::BinPath("updater"), "-h"});
  std::regex entry(R"(\n {5}(-[A-Za-z]+))");
  std::set<std::string> options = {"-h", "--help"};
  for (std::sregex_iterator it(help.out.begin(), help.out.end(), entry), end; it != end; ++it)
    options.insert((*it)[1]);
  ASSERT_GE(options.size(), 20u);
  for (const std::string& option : options)
    EXPECT_NE((" " + out[0]).find(" " + option + " "), std::string::npos) << option << " not offered: " << out[0];
  EXPECT_EQ(out[1], "RECOVER TCPIP USB ");
  EXPECT_EQ(out[2], "TCPIP ");
  EXPECT_EQ(out[3], "115200 ");
  // The updater takes -t values in any case, so completion does too.
  EXPECT_EQ(out[4], "TCPIP ");
}

TEST(Completion, OffersTheSerialPortsOfTheBenchNotTheConsoles) {
  if (!testsupport::IsRoot())
    GTEST_SKIP() << "needs root for a private mount namespace over /dev";
  // A scratch /dev in a private mount namespace holds what a bench has: two USB
  // adapters, one under its stable name, beside consoles and a built-in port.
  std::string script = CompletionScript("updater -s \nupdater -s /dev/tty\nupdater -N -s /dev/ser\n");
  ProgramResult r = RunProgram(
      {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
       "mount -t tmpfs none /dev && mknod -m 666 /dev/null c 1 3 && mkdir -p /dev/serial/by-id && "
       "touch /dev/ttyUSB0 /dev/ttyACM1 /dev/tty0 /dev/tty63 /dev/ttyS0 /dev/serial/by-id/usb-FTDI_A1-if00-port0 && "
       "exec /bin/bash -c \"$0\"",
       script});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  std::vector<std::string> out = Lines(r.out);
  ASSERT_EQ(out.size(), 3u) << r.out;
  EXPECT_EQ(out[0], "/dev/serial/by-id/usb-FTDI_A1-if00-port0 /dev/ttyACM1 /dev/ttyUSB0 USB ");
  EXPECT_EQ(out[1], "/dev/ttyACM1 /dev/ttyUSB0 ");
  EXPECT_EQ(out[2], "/dev/serial/by-id/usb-FTDI_A1-if00-port0 ");
}

TEST(Completion, OffersTheSerialNumbersOfTheStoreInTheUsersHome) {
  if (!testsupport::IsRoot())
    GTEST_SKIP() << "needs root for a private mount namespace over the home directory";
  // The store is found through the user database, as the updater finds it, so a
  // private mount namespace lays a scratch home over the real one.
  testsupport::TempDir home;
  std::string store = home.file(".tessoral/updater");
  // 0000BEEF holds a build, 40F5849A only the record of a transfer.
  ASSERT_EQ(RunProgram({"/bin/sh", "-c", "mkdir -p '" + store + "'/0000BEEF '" + store + "'/40F5849A '" + store +
                                             "'/40F5849A0 '" + store + "'/notahex '" + store + "'/.hidden && touch '" +
                                             store + "'/12345678 '" + store + "'/0000BEEF/1420.bird && echo " +
                                             "LATEST_TRANSFER=1420.bird > '" + store + "'/40F5849A/.settings"})
                .exitCode,
            0);
  std::string script = CompletionScript("updater -d \nupdater -U -d 4\nupdater -r 0000\nupdater -b \n");
  ProgramResult r = RunProgram({"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                                "home=$(getent passwd $(id -u) | cut -d: -f6) && mount --bind '" + home.path() +
                                    "' \"$home\" && HOME=/nonexistent exec /bin/bash -c \"$0\"",
                                script});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  std::vector<std::string> out = Lines(r.out);
  ASSERT_EQ(out.size(), 4u) << r.out;
  EXPECT_EQ(out[0], "0000BEEF 40F5849A ");
  EXPECT_EQ(out[1], "40F5849A ");
  EXPECT_EQ(out[2], "0000BEEF ");
  // A build number is free text: nothing to offer.
  EXPECT_EQ(out[3], " ");
}

TEST(Completion, LeavesOutStoreEntriesThatAFailedDownloadLeftBehind) {
  if (!testsupport::IsRoot())
    GTEST_SKIP() << "needs root for a private network and a private mount namespace over the home directory";
  std::string why;
  ASSERT_TRUE(testsupport::EnterPrivateNetwork(&why)) << why;
  testsupport::TempDir tessoral, catalogue;
  testsupport::PrivateStore store(tessoral.path());
  ASSERT_TRUE(store.ok()) << store.error();
  ASSERT_EQ(RunProgram({"/bin/mkdir", "-p", catalogue.file("Holvex")}).exitCode, 0);
  testsupport::WriteFile(catalogue.file("Holvex/1420.bird"),
                         testsupport::MakeBirdBytes(1420, "1.4.2", "Holvex", 0, testsupport::TestBytes(4096, 7)));
  // What the user really meets: entries made by the updater itself. 0000D00D
  // gets its build; 0000BEEF's file is refused by the server and 0000CAFE is
  // unknown to it, which leaves both with settings that hold only time stamps.
  const std::vector<std::string> devices = {"--device", "0000BEEF:Holvex:1420", "--device", "0000D00D:Holvex:1420"};
  std::vector<std::string> refusing = {"--catalogue", catalogue.path(), "--fault", "bird:status:404"};
  refusing.insert(refusing.end(), devices.begin(), devices.end());
  testsupport::LabServerProcess failing(refusing);
  ASSERT_TRUE(failing.ok());
  for (const char* serial : {"0000BEEF", "0000CAFE"})
    EXPECT_EQ(RunProgram({testsupport::BinPath("updater"), "-G", "-d", serial, "-u", failing.url()}).exitCode, 1);
  std::vector<std::string> serving = {"--catalogue", catalogue.path()};
  serving.insert(serving.end(), devices.begin(), devices.end());
  testsupport::LabServerProcess working(serving);
  ASSERT_TRUE(working.ok());
  ProgramResult got = RunProgram({testsupport::BinPath("updater"), "-G", "-d", "0000D00D", "-u", working.url()});
  ASSERT_EQ(got.exitCode, 0) << got.err;
  for (const char* entry : {"0000BEEF", "0000CAFE", "0000D00D"})
    ASSERT_NE(testsupport::ReadFile(tessoral.file(std::string("updater/") + entry + "/.settings")).find("CREATED_TIME"),
              std::string::npos)
        << entry;

  ProgramResult r = RunProgram({"/bin/bash", "-c", CompletionScript("updater -d \nupdater -r 0000\n")},
                               {"HOME=/nonexistent"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::vector<std::string> out = Lines(r.out);
  ASSERT_EQ(out.size(), 2u) << r.out;
  EXPECT_EQ(out[0], "0000D00D ");
  EXPECT_EQ(out[1], "0000D00D ");
}

TEST(Completion, BirdpackOffersEveryOptionOfItsHelp) {
  ProgramResult help = RunProgram({testsupport::BinPath("birdpack"), "--help"});
  ASSERT_EQ(help.exitCode, 0);
  std::set<std::string> options;
  for (const char* pattern : {R"(\n  (--?[a-z][-a-z]*))", R"(, (--[a-z][-a-z]*))"}) {
    std::regex entry(pattern);
    for (std::sregex_iterator it(help.out.begin(), help.out.end(), entry), end; it != end; ++it)
      options.insert((*it)[1]);
  }
  ASSERT_GE(options.size(), 15u) << help.out;
  ProgramResult r = RunProgram({"/bin/bash", "-c", CompletionScript("birdpack \nbirdpack --scr\n", "birdpack")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::vector<std::string> out = Lines(r.out);
  ASSERT_EQ(out.size(), 2u) << r.out;
  for (const std::string& option : options)
    EXPECT_NE((" " + out[0]).find(" " + option + " "), std::string::npos) << option << " not offered: " << out[0];
  EXPECT_EQ(out[1], "--scramble ");
}
