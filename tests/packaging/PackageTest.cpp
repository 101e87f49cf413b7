// The Debian package as a user meets it: built by CPack from this build tree,
// checked by lintian, unpacked and installed into scratch roots, run, removed.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "LabServerSupport.h"
#include "TestSupport.h"

using testsupport::ProgramResult;
using testsupport::RunProgram;
using testsupport::TempDir;

namespace {

ProgramResult Shell(const std::string& script) { return RunProgram({"/bin/sh", "-c", script}); }

// A program found on PATH.
ProgramResult RunOnPath(std::vector<std::string> argv) {
  argv.insert(argv.begin(), "/usr/bin/env");
  return RunProgram(argv);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty())
      lines.push_back(line);
  return lines;
}

// Package names in a Depends field, versions dropped.
std::set<std::string> DependsNames(const std::string& field) {
  std::set<std::string> names;
  std::istringstream in(field);
  for (std::string part; std::getline(in, part, ',');) {
    size_t begin = part.find_first_not_of(' ');
    if (begin == std::string::npos)
      continue;
    size_t end = part.find_first_of(" (", begin);
    names.insert(part.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
  }
  return names;
}

// The Debian package that ships each shared library the program names as NEEDED.
std::set<std::string> PackagesOfNeededLibraries(const std::string& program) {
  std::set<std::string> packages;
  ProgramResult needed = Shell("readelf -d '" + program + "' | sed -n 's/.*(NEEDED).*\\[\\(.*\\)\\]/\\1/p'");
  for (const std::string& soname : Lines(needed.out)) {
    ProgramResult owner = Shell("path=$(ldconfig -p | awk -v n='" + soname +
                                "' '$1 == n && /x86-64|x86_64|aarch64/ { print $NF; exit }'); "
                                "dpkg -S \"$path\" 2>/dev/null || dpkg -S \"/usr$path\" | head -1");
    std::string line = owner.out.substr(0, owner.out.find(':'));
    packages.insert(line.empty() ? "(no package for " + soname + ")" : line);
  }
  return packages;
}

// One package for the whole suite: CPack takes seconds.
class PackageTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    out = new TempDir;
    made = RunOnPath({"cpack", "-G", "DEB", "--config", std::string(UPDATER_BUILD_DIR) + "/CPackConfig.cmake", "-B",
                      out->path()});
    deb = Shell("ls '" + out->path() + "'/updater_*.deb").out;
  }
  static void TearDownTestSuite() {
    delete out;
    out = nullptr;
  }
  void SetUp() override {
    ASSERT_EQ(made.exitCode, 0) << made.out << made.err;
    ASSERT_EQ(Lines(deb).size(), 1u) << deb;
    deb = Lines(deb)[0];
  }
  static TempDir* out;
  static ProgramResult made;
  static std::string deb;
};
TempDir* PackageTest::out = nullptr;
ProgramResult PackageTest::made;
std::string PackageTest::deb;

}  // namespace

TEST_F(PackageTest, DependsOnExactlyTheRuntimePackagesOfTheLibrariesLinked) {
  ProgramResult field = RunOnPath({"dpkg-deb", "-f", deb, "Depends"});
  ASSERT_EQ(field.exitCode, 0) << field.err;
  std::set<std::string> depends = DependsNames(field.out.substr(0, field.out.find('\n')));
  // The libraries the issue names, whenever the programs link them.
  std::set<std::string> expected = PackagesOfNeededLibraries(testsupport::BinPath("updater"));
  for (const std::string& p : PackagesOfNeededLibraries(testsupport::BinPath("birdpack")))
    expected.insert(p);
  EXPECT_EQ(depends, expected) << field.out;
  EXPECT_TRUE(depends.count("libusb-1.0-0") && depends.count("libcurl4") && depends.count("zlib1g")) << field.out;
}

TEST_F(PackageTest, LintianReportsNoErrors) {
  ProgramResult which = Shell("command -v lintian");
  ASSERT_EQ(which.exitCode, 0) << "lintian is not installed (scripts/install-deps installs it)";
  ProgramResult r = RunOnPath({"lintian", "--fail-on", "error", deb});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("E: "), std::string::npos) << r.out;
}

TEST_F(PackageTest, UnpackedProgramsRunAndEveryPieceIsInPlace) {
  TempDir root;
  ProgramResult x = RunOnPath({"dpkg-deb", "-x", deb, root.path()});
  ASSERT_EQ(x.exitCode, 0) << x.err;
  ProgramResult help = RunProgram({root.file("usr/bin/updater"), "-h"});
  EXPECT_EQ(help.exitCode, 0) << help.err;
  EXPECT_EQ(help.out.find("Updater (Version: 1.1"), 0u) << help.out;
  EXPECT_NE(help.err.find("Application Usage:"), std::string::npos) << help.err;
  EXPECT_NE(help.err.find("Sample usage"), std::string::npos) << help.err;
  ProgramResult birdpack = RunProgram({root.file("usr/bin/birdpack"), "--help"});
  EXPECT_EQ(birdpack.exitCode, 0) << birdpack.err;
  EXPECT_NE(birdpack.out.find("Usage: birdpack"), std::string::npos) << birdpack.out;

  ProgramResult files = Shell("cd '" + root.path() + "' && find . -type f | sort");
  EXPECT_EQ(files.out,
            "./usr/bin/birdpack\n"
            "./usr/bin/updater\n"
            "./usr/lib/udev/rules.d/70-kovalink.rules\n"
            "./usr/share/bash-completion/completions/birdpack\n"
            "./usr/share/bash-completion/completions/updater\n"
            "./usr/share/doc/updater/README.md\n"
            "./usr/share/doc/updater/changelog.gz\n"
            "./usr/share/doc/updater/copyright\n"
            "./usr/share/doc/updater/updater-result.schema.json\n"
            "./usr/share/man/man1/birdpack.1.gz\n"
            "./usr/share/man/man1/updater.1.gz\n");
  // The installed man page is the maintained one.
  ProgramResult man = Shell("gzip -dc '" + root.file("usr/share/man/man1/updater.1.gz") + "' | cmp - '" +
                            testsupport::SourcePath("packaging/man/updater.1") + "'");
  EXPECT_EQ(man.exitCode, 0) << man.out << man.err;
}

TEST_F(PackageTest, InstallsWithItsDependenciesMetAndRemovesWithoutLeftovers) {
  if (!testsupport::IsRoot())
    GTEST_SKIP() << "needs root for dpkg --root";
  // A scratch root whose package database is this machine's, so dpkg checks
  // the dependencies against what is really installed here.
  TempDir root;
  ProgramResult db = Shell("cd '" + root.path() +
                           "' && mkdir -p var/lib/dpkg/info var/lib/dpkg/updates && "
                           "cp /var/lib/dpkg/status var/lib/dpkg/status && touch var/lib/dpkg/available");
  ASSERT_EQ(db.exitCode, 0) << db.err;
  ProgramResult install = RunOnPath({"dpkg", "--root", root.path(), "-i", deb});
  ASSERT_EQ(install.exitCode, 0) << install.out << install.err;
  ProgramResult status = RunOnPath({"dpkg", "--root", root.path(), "-s", "updater"});
  EXPECT_NE(status.out.find("Status: install ok installed"), std::string::npos) << status.out << status.err;
  ProgramResult help = RunProgram({root.file("usr/bin/updater"), "-h"});
  EXPECT_EQ(help.exitCode, 0) << help.err;
  EXPECT_NE(help.err.find("Application Usage:"), std::string::npos) << help.err;

  ProgramResult purge = RunOnPath({"dpkg", "--root", root.path(), "--purge", "updater"});
  ASSERT_EQ(purge.exitCode, 0) << purge.out << purge.err;
  ProgramResult left = Shell("cd '" + root.path() + "' && find usr -type f 2>/dev/null");
  EXPECT_EQ(left.out, "");
  ProgramResult gone = RunOnPath({"dpkg", "--root", root.path(), "-s", "updater"});
  EXPECT_NE(gone.exitCode, 0) << gone.out;
}
