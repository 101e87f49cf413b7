// The man pages: lint clean, and every option the programs' own help names is
// documented (a new option without its man page entry fails here).
#include <gtest/gtest.h>

#include <filesystem>
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

// The text of one section of a page, up to the next section heading.
std::string Section(const std::string& man, const std::string& heading) {
  size_t start = man.find(".SH " + heading + "\n");
  if (start == std::string::npos)
    return std::string();
  size_t end = man.find("\n.SH ", start + 1);
  return man.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// Names of the environment variables the installed program's sources read: the
// upper-case string literals of every source file that calls getenv (each file
// names its variables in a constant or in the call itself).
std::set<std::string> VariablesRead() {
  std::set<std::string> names;
  for (const char* folder : {"app", "UpdaterLib", "linklib", "ui"}) {
    for (const auto& file : std::filesystem::recursive_directory_iterator(testsupport::SourcePath(folder))) {
      if (!file.is_regular_file())
        continue;
      std::string text = testsupport::ReadFile(file.path().string());
      if (text.find("getenv(") != std::string::npos || text.find("Environment::Seconds(") != std::string::npos)
        for (const std::string& name : Matches(text, std::regex(R"re("([A-Z][A-Z0-9_]{2,})")re")))
          names.insert(name);
    }
  }
  return names;
}

}  // namespace

TEST(ManPage, UpdaterPageDocumentsEveryOptionTheParserTakesAndEveryVariableItReads) {
  std::string man = ManText("updater.1");
  // Options the parser accepts beyond those the usage texts list are documented too.
  std::string table = testsupport::ReadFile(testsupport::SourcePath("app/Parameters.cpp"));
  std::set<std::string> options = Matches(table, std::regex(R"re(\{"(--?[A-Za-z]+)", GROUP_)re"));
  ASSERT_GE(options.size(), 30u) << "the option table was not found in app/Parameters.cpp";
  for (const std::string& option : options)
    EXPECT_TRUE(Documents(man, option)) << "updater.1 does not document " << option;
  std::string environment = Section(man, "ENVIRONMENT");
  std::set<std::string> variables = VariablesRead();
  ASSERT_TRUE(variables.count("HOME") && variables.count("UPDATER_RETURN_TIMEOUT")) << "getenv calls not found";
  for (const std::string& variable : variables)
    EXPECT_NE(environment.find(".B " + variable), std::string::npos) << "ENVIRONMENT does not describe " << variable;
}

TEST(ManPage, UpdaterPageLintsCleanAndDocumentsEveryOptionOfItsHelp) {
  ExpectLintClean("updater.1");
  ProgramResult help = RunProgram({testsupport::BinPath("updater"), "-h"});
  ASSERT_EQ(help.exitCode, 0);
  // Entries of the usage texts: "     -b <build number>  - ...", "     -H or -h ...".
  std::set<std::string> options = Matches(help.out, std::regex(R"(\n {5}(-[A-Za-z]+))"));
  options.insert("-h");
  options.insert("--help");
  ASSERT_GE(options.size(), 20u) << help.out;
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
