// Bash completion as bash runs it: the options, the -t values, and for -d and
// -r the serial numbers of the entries in the user's store.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "LabServerSupport.h"
#include "TestSupport.h"

using testsupport::ProgramResult;
using testsupport::RunProgram;

namespace {

// Sources the completion and prints the candidates for each command line of
// `lines` (words separated by blanks, the last one being completed), one
// result line each, candidates sorted.
std::string CompletionScript(const std::string& lines) {
  return "set -e\n"
         ". '" + testsupport::SourcePath("packaging/completion/updater") + "'\n"
         "complete -p updater >/dev/null\n"
         "while IFS= read -r line; do\n"
         "  read -r -a COMP_WORDS <<<\"$line\"\n"
         "  case $line in *' ') COMP_WORDS+=(''); esac\n"
         "  COMP_CWORD=$(( ${#COMP_WORDS[@]} - 1 )); COMPREPLY=()\n"
         "  _updater\n"
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
  ProgramResult r = RunProgram({"/bin/bash", "-c", CompletionScript("updater \nupdater -t \nupdater -t T\nupdater -o 11\n")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::vector<std::string> out = Lines(r.out);
  ASSERT_EQ(out.size(), 4u) << r.out;
  // Every option of the usage texts is offered.
  ProgramResult help = RunProgram({testsupport::BinPath("updater"), "-h"});
  std::regex entry(R"(\n {5}(-[A-Za-z]+))");
  std::set<std::string> options = {"-h", "--help"};
  for (std::sregex_iterator it(help.err.begin(), help.err.end(), entry), end; it != end; ++it)
    options.insert((*it)[1]);
  ASSERT_GE(options.size(), 20u);
  for (const std::string& option : options)
    EXPECT_NE((" " + out[0]).find(" " + option + " "), std::string::npos) << option << " not offered: " << out[0];
  EXPECT_EQ(out[1], "RECOVER TCPIP USB ");
  EXPECT_EQ(out[2], "TCPIP ");
  EXPECT_EQ(out[3], "115200 ");
}

TEST(Completion, OffersTheSerialNumbersOfTheStoreInTheUsersHome) {
  if (!testsupport::IsRoot())
    GTEST_SKIP() << "needs root for a private mount namespace over the home directory";
  // The store is found through the user database, as the updater finds it, so a
  // private mount namespace lays a scratch home over the real one.
  testsupport::TempDir home;
  std::string store = home.file(".tessoral/updater");
  ASSERT_EQ(RunProgram({"/bin/sh", "-c", "mkdir -p '" + store + "'/0000BEEF '" + store + "'/40F5849A '" + store +
                                             "'/40F5849A0 '" + store + "'/notahex '" + store + "'/.hidden && touch '" +
                                             store + "'/12345678"})
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
