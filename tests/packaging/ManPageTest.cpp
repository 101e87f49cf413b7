// The man pages: lint clean, and every option the programs' own help names is
// documented (a new option without its man page entry fails here).
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "LabServerSupport.h"
#include "TestSupport.h"

using testsupport::ProgramResult;
using testsupport::RunProgram;

namespace {

// The roff source with its escaped dashes as plain text.
std::string ManText(const std::string& page) {
  std::string text = testsupport::ReadFile(testsupport::SourcePath("packaging/man/" + page));
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '-') {
      plain += '-';
      ++i;
    } else {
      plain += text[i];
    }
  }
  return plain;
}

std::set<std::string> Matches(const std::string& text, const std::regex& pattern) {
  std::set<std::string> found;
  for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it)
    found.insert((*it)[1]);
  return found;
}

// True when the option appears as a word of its own (-b but not -bx, --list but not --list-all).
bool Documents(const std::string& man, const std::string& option) {
  std::regex word("(^|[^-A-Za-z])" + std::regex_replace(option, std::regex("-"), "\\-") + "($|[^-A-Za-z])");
  return std::regex_search(man, word);
}

void ExpectLintClean(const std::string& page) {
  std::string path = testsupport::SourcePath("packaging/man/" + page);
  ProgramResult groff = RunProgram({"/usr/bin/env", "groff", "-man", "-Tutf8", "-ww", "-z", path});
  EXPECT_EQ(groff.exitCode, 0) << page << ": " << groff.err;
  EXPECT_EQ(groff.err, "") << page;
  // mandoc also judges style; scripts/install-deps installs it.
  ProgramResult mandoc = RunProgram({"/usr/bin/env", "mandoc", "-Tlint", path});
  EXPECT_EQ(mandoc.exitCode, 0) << page << ": " << mandoc.out << mandoc.err;
  EXPECT_EQ(mandoc.out + mandoc.err, "") << page;
}

}  // namespace

TEST(ManPage, UpdaterPageLintsCleanAndDocumentsEveryOptionOfItsHelp) {
  ExpectLintClean("updater.1");
  ProgramResult help = RunProgram({testsupport::BinPath("updater"), "-h"});
  ASSERT_EQ(help.exitCode, 0);
  // Entries of the usage texts: "     -b <build number>  - ...", "     -H or -h ...".
  std::set<std::string> options = Matches(help.err, std::regex(R"(\n {5}(-[A-Za-z]+))"));
  options.insert("-h");
  options.insert("--help");
  ASSERT_GE(options.size(), 20u) << help.err;
  std::string man = ManText("updater.1");
  for (const std::string& option : options)
    EXPECT_TRUE(Documents(man, option)) << "updater.1 does not document " << option;
  for (const char* section : {".SH SYNOPSIS", ".SH STORE", ".SH EXIT STATUS", ".SH EXAMPLES", "RECOVER", ".tessoral/updater"})
    EXPECT_NE(man.find(section), std::string::npos) << section;
}

TEST(ManPage, BirdpackPageLintsCleanAndDocumentsEveryOptionOfItsHelp) {
  ExpectLintClean("birdpack.1");
  ProgramResult help = RunProgram({testsupport::BinPath("birdpack"), "--help"});
  ASSERT_EQ(help.exitCode, 0);
  std::set<std::string> options = Matches(help.out, std::regex(R"(\n  (--?[a-z][-a-z]*))"));
  for (const std::string& option : Matches(help.out, std::regex(R"(, (--[a-z][-a-z]*))")))
    options.insert(option);
  ASSERT_GE(options.size(), 15u) << help.out;
  std::string man = ManText("birdpack.1");
  for (const std::string& option : options)
    EXPECT_TRUE(Documents(man, option)) << "birdpack.1 does not document " << option;
}
