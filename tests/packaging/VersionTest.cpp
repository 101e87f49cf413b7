// One version, written once in the build: the banner, --version, birdpack, the
// changelogs and the man pages all show it.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "LabServerSupport.h"
#include "TestSupport.h"

using testsupport::ProgramResult;
using testsupport::RunProgram;

namespace {

std::string FirstMatch(const std::string& text, const std::string& pattern) {
  std::smatch match;
  return std::regex_search(text, match, std::regex(pattern)) ? match[1].str() : "";
}

}  // namespace

TEST(Version, TheProgramsThePackageAndThePagesShowTheSameRelease) {
  ProgramResult version = RunProgram({testsupport::BinPath("updater"), "--version"});
  const std::string release = FirstMatch(version.out, R"(^updater (\d+\.\d+\.\d+)\n$)");
  ASSERT_FALSE(release.empty()) << version.out;
  const std::string majorMinor = release.substr(0, release.rfind('.'));

  // The banner abbreviates it, keeping its own layout.
  ProgramResult banner = RunProgram({testsupport::BinPath("updater"), "-h"});
  EXPECT_EQ(FirstMatch(banner.out, R"(^Updater \(Version: (\d+\.\d+) [A-Z][a-z][a-z] [ \d]\d \d{4}\)\n)"), majorMinor)
      << banner.out;
  ProgramResult birdpack = RunProgram({testsupport::BinPath("birdpack"), "--version"});
  EXPECT_EQ(birdpack.exitCode, 0);
  EXPECT_EQ(birdpack.out, "birdpack " + release + "\n");

  std::string debian = testsupport::ReadFile(testsupport::SourcePath("debian/changelog"));
  EXPECT_EQ(FirstMatch(debian, R"(^kovalink-updater \(([^-)]+)-)"), release);
  std::string upstream = testsupport::ReadFile(testsupport::SourcePath("packaging/changelog"));
  EXPECT_EQ(FirstMatch(upstream, R"(^updater \(([^)]+)\))"), release);
  for (const char* page : {"packaging/man/updater.1", "packaging/man/birdpack.1"})
    EXPECT_EQ(FirstMatch(testsupport::ReadFile(testsupport::SourcePath(page)), R"re(\.TH \S+ 1 "[^"]*" "updater ([^"]+)")re"),
              majorMinor)
        << page;
}
