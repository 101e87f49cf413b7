// The Debian package as a user meets it: built from debian/ once per ctest run
// (the package_build fixture runs scripts/build-package), checked by lintian,
// unpacked and installed into scratch roots, run, purged.
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

const char kPackage[] = "kovalink-updater";

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
    size_t end = part.find_first_of(" (\n", begin);
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

std::string Field(const std::string& deb, const std::string& name) {
  std::string value = RunOnPath({"dpkg-deb", "-f", deb, name}).out;
  return value.substr(0, value.find_last_not_of('\n') + 1);
}

// The package the fixture built, unpacked once per test program.
class PackageTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    std::string dir = UPDATER_PACKAGE_DIR;
    std::vector<std::string> debs = Lines(Shell("ls '" + dir + "'/" + kPackage + "_*.deb 2>/dev/null").out);
    if (debs.size() != 1)
      return;
    deb = debs[0];
    changes = Shell("ls '" + dir + "'/" + kPackage + "_*.changes").out;
    changes = changes.substr(0, changes.find('\n'));
    root = new TempDir;
    unpacked = RunOnPath({"dpkg-deb", "-x", deb, root->path()}).exitCode == 0;
  }
  static void TearDownTestSuite() {
    delete root;
    root = nullptr;
  }
  void SetUp() override {
    if (deb.empty())
      GTEST_SKIP() << "no package in " << UPDATER_PACKAGE_DIR
                   << ": the package_build test makes it with scripts/build-package (needs dpkg-dev, "
                      "debhelper and lintian)";
    ASSERT_TRUE(unpacked) << deb;
  }
  static std::string Unpacked(const std::string& path) { return root->file(path); }
  static std::string deb, changes;
  static TempDir* root;
  static bool unpacked;
};
std::string PackageTest::deb;
std::string PackageTest::changes;
TempDir* PackageTest::root = nullptr;
bool PackageTest::unpacked = false;

}  // namespace

TEST_F(PackageTest, ControlFieldsAndDependenciesMatchTheLibrariesLinked) {
  EXPECT_EQ(Field(deb, "Package"), kPackage);
  EXPECT_EQ(Field(deb, "Section"), "utils");
  EXPECT_EQ(Field(deb, "Homepage"), "https://www.tessoral.com/kovalink/updater");
  // udev is only for users without root; recommending it pulled systemd in.
  EXPECT_EQ(Field(deb, "Suggests"), "udev");
  // Completion of ports and modules at the shell; the programs run without it.
  EXPECT_EQ(Field(deb, "Recommends"), "bash-completion");
  std::set<std::string> depends = DependsNames(Field(deb, "Depends"));
  std::set<std::string> expected = PackagesOfNeededLibraries(Unpacked("usr/bin/updater"));
  for (const std::string& p : PackagesOfNeededLibraries(Unpacked("usr/bin/birdpack")))
    expected.insert(p);
  EXPECT_EQ(depends, expected) << Field(deb, "Depends");
  EXPECT_TRUE(depends.count("libusb-1.0-0") && depends.count("libcurl4") && depends.count("zlib1g"));
}

TEST_F(PackageTest, LintianFindsNothingEvenPedantic) {
  ProgramResult r = RunOnPath({"lintian", "-EIL", "+pedantic", changes});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  for (const std::string& line : Lines(r.out))
    ADD_FAILURE() << line;
}

TEST_F(PackageTest, ProgramsAreHardenedTheDistributionsWay) {
  for (const char* program : {"usr/bin/updater", "usr/bin/birdpack"}) {
    std::string path = Unpacked(program);
    EXPECT_NE(Shell("readelf -h '" + path + "'").out.find("DYN (Position-Independent Executable"), std::string::npos)
        << program << " is no PIE";
    ProgramResult flags = Shell("readelf -d '" + path + "' | grep -E '\\((FLAGS|FLAGS_1)\\)'");
    EXPECT_NE(flags.out.find("BIND_NOW"), std::string::npos) << program << ": " << flags.out;
    EXPECT_NE(Shell("readelf -lW '" + path + "'").out.find("GNU_RELRO"), std::string::npos) << program;
    // Fortified calls link the checked variants.
    EXPECT_EQ(Shell("readelf --dyn-syms -W '" + path + "' | grep -q '__[a-z_]*_chk'").exitCode, 0) << program;
  }
}

TEST_F(PackageTest, UnpackedProgramsRunAndEveryPieceIsWhereTheyNameIt) {
  ProgramResult help = RunProgram({Unpacked("usr/bin/updater"), "-h"});
  EXPECT_EQ(help.exitCode, 0) << help.err;
  EXPECT_EQ(help.out.find("Updater (Version: 1.1"), 0u) << help.out;
  EXPECT_NE(help.out.find("Application Usage:"), std::string::npos) << help.out;
  ProgramResult birdpack = RunProgram({Unpacked("usr/bin/birdpack"), "--help"});
  EXPECT_EQ(birdpack.exitCode, 0) << birdpack.err;
  EXPECT_NE(birdpack.out.find("Usage: birdpack"), std::string::npos) << birdpack.out;

  ProgramResult files = Shell("cd '" + root->path() + "' && find . -type f | sort");
  EXPECT_EQ(files.out,
            "./lib/udev/rules.d/70-kovalink.rules\n"
            "./usr/bin/birdpack\n"
            "./usr/bin/updater\n"
            "./usr/share/bash-completion/completions/birdpack\n"
            "./usr/share/bash-completion/completions/updater\n"
            "./usr/share/doc/kovalink-updater/README.md.gz\n"
            "./usr/share/doc/kovalink-updater/changelog.Debian.gz\n"
            "./usr/share/doc/kovalink-updater/changelog.gz\n"
            "./usr/share/doc/kovalink-updater/copyright\n"
            "./usr/share/doc/kovalink-updater/examples/station.conf\n"
            "./usr/share/doc/kovalink-updater/examples/updater-station@.service\n"
            "./usr/share/doc/kovalink-updater/updater-result.schema.json\n"
            "./usr/share/lintian/overrides/kovalink-updater\n"
            "./usr/share/man/man1/birdpack.1.gz\n"
            "./usr/share/man/man1/updater.1.gz\n"
            "./usr/share/metainfo/com.tessoral.kovalink.updater.metainfo.xml\n");
  // The permission advice names the rules file the package installs.
  ProgramResult named = Shell("grep -aoE '/[a-z/.]*/70-kovalink\\.rules' '" + Unpacked("usr/bin/updater") + "' | sort -u");
  EXPECT_EQ(named.out, "/lib/udev/rules.d/70-kovalink.rules\n");
  EXPECT_EQ(testsupport::ReadFile(Unpacked("lib/udev/rules.d/70-kovalink.rules")),
            testsupport::ReadFile(testsupport::SourcePath("packaging/udev/70-kovalink.rules")));
  // The installed man pages and changelog are the maintained ones.
  for (const char* pair : {"usr/share/man/man1/updater.1.gz packaging/man/updater.1",
                           "usr/share/man/man1/birdpack.1.gz packaging/man/birdpack.1",
                           "usr/share/doc/kovalink-updater/changelog.gz packaging/changelog"}) {
    std::string installed(pair, std::string(pair).find(' '));
    std::string source = std::string(pair).substr(installed.size() + 1);
    ProgramResult same = Shell("gzip -dc '" + Unpacked(installed) + "' | cmp - '" + testsupport::SourcePath(source) + "'");
    EXPECT_EQ(same.exitCode, 0) << installed << same.out << same.err;
  }
}

TEST_F(PackageTest, InstallsWithItsDependenciesMetAndPurgesWithoutLeftovers) {
  if (!testsupport::IsRoot())
    GTEST_SKIP() << "needs root for dpkg --root";
  // A scratch root whose package database is this machine's, so dpkg checks
  // the dependencies against what is really installed here.
  TempDir target;
  ProgramResult db = Shell("cd '" + target.path() +
                           "' && mkdir -p var/lib/dpkg/info var/lib/dpkg/updates && "
                           "cp /var/lib/dpkg/status var/lib/dpkg/status && touch var/lib/dpkg/available");
  ASSERT_EQ(db.exitCode, 0) << db.err;
  ProgramResult install = RunOnPath({"dpkg", "--root", target.path(), "-i", deb});
  ASSERT_EQ(install.exitCode, 0) << install.out << install.err;
  ProgramResult status = RunOnPath({"dpkg", "--root", target.path(), "-s", kPackage});
  EXPECT_NE(status.out.find("Status: install ok installed"), std::string::npos) << status.out << status.err;
  ProgramResult help = RunProgram({target.file("usr/bin/updater"), "-h"});
  EXPECT_EQ(help.exitCode, 0) << help.err;
  EXPECT_NE(help.out.find("Application Usage:"), std::string::npos) << help.out;
  EXPECT_TRUE(testsupport::ReadFile(target.file("lib/udev/rules.d/70-kovalink.rules")).find("uaccess") !=
              std::string::npos);

  ProgramResult purge = RunOnPath({"dpkg", "--root", target.path(), "--purge", kPackage});
  ASSERT_EQ(purge.exitCode, 0) << purge.out << purge.err;
  ProgramResult left = Shell("cd '" + target.path() + "' && find usr lib -type f 2>/dev/null");
  EXPECT_EQ(left.out, "");
  ProgramResult gone = RunOnPath({"dpkg", "--root", target.path(), "-s", kPackage});
  EXPECT_NE(gone.exitCode, 0) << gone.out;
}
