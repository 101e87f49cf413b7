// -C, -I, -B failures and interrupted runs, through the real program, each in a
// private network namespace with a private store.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "BirdWriter.h"
#include "LabServerSupport.h"
#include "PrivateStoreTest.h"
#include "TestSupport.h"

using testsupport::ProgramResult;

namespace {

// Output that is not a terminal carries only the results; the banner goes to stderr.
const std::string kBanner = "Updater (Version: 1.1 Jan 21 2023)\n";

class StoreCommands : public testsupport::PrivateStoreTest {
protected:
  // The store as the program sees it: below the user database's home.
  std::string StorePath() const { return std::string(getpwuid(getuid())->pw_dir) + "/.tessoral/updater"; }
  std::string ModuleDir(const std::string& name) const { return storeDir.file("updater/" + name); }

  void AddModule(const std::string& name, const std::string& settings) {
    mkdir(storeDir.file("updater").c_str(), 0755);
    mkdir(ModuleDir(name).c_str(), 0755);
    if (!settings.empty())
      testsupport::WriteFile(ModuleDir(name) + "/.settings", settings);
  }
  void StoreBird(const std::string& module, uint32_t build, const std::string& model) {
    testsupport::WriteFile(ModuleDir(module) + "/" + std::to_string(build) + ".bird",
                           testsupport::MakeBirdBytes(build, "1.0", model, 0x1234ABCD, Image()));
  }
  std::string WriteFile(const std::string& name, const std::string& bytes) {
    std::string path = files.file(name);
    testsupport::WriteFile(path, bytes);
    return path;
  }
  static std::string Image() { return testsupport::TestBytes(3000, 7); }

  testsupport::TempDir files;
};

}  // namespace

TEST_F(StoreCommands, CheckShowsAGoodFileAndAppliesTheModuleChecks) {
  std::string good = WriteFile("good.bird", testsupport::MakeBirdBytes(99528558, "3.0.7", "KovaHub", 0x1234ABCD, Image()));
  ProgramResult r = Updater({"-C", "-f", good});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, kBanner);
  EXPECT_EQ(r.out, "BIRD file " + good +
                       "\n"
                       "    Model:          KovaHub\n"
                       "    Build:          99528558\n"
                       "    Version:        3.0.7\n"
                       "    Serial number:  1234ABCD\n"
                       "    Blocks:         2 (0 loader, 1 firmware)\n"
                       "    Loader bytes:   0\n"
                       "    Firmware bytes: 3000\n"
                       "    Signature:      unsigned\n"
                       "An update would accept this file if the module fits: made for module 1234ABCD only; "
                       "-U accepts it for that module alone\n");

  // With -d: the module has no stored build yet, so only the serial number can be checked.
  r = Updater({"-C", "-f", good, "-d", "1234ABCD"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("No stored build of module 1234ABCD to compare the model with\n"), std::string::npos) << r.out;

  r = Updater({"-C", "-f", good, "-d", "0BADC0DE"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, kBanner + "Birdfile failed validation: made for module 1234ABCD, not 0BADC0DE\n");
  // -OVERRIDE skips the model check only, as it does for an update.
  EXPECT_EQ(Updater({"-C", "-f", good, "-d", "0BADC0DE", "-OVERRIDE"}).exitCode, 1);

  // The builds stored for the module tell its model; the newest that loads counts.
  AddModule("1234ABCD", "");
  StoreBird("1234ABCD", 17, "Quessa");
  StoreBird("1234ABCD", 18, "KovaHub");
  testsupport::WriteFile(ModuleDir("1234ABCD") + "/19.bird", "bird\x01\x01 broken");
  r = Updater({"-C", "-f", good, "-d", "1234ABCD"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  StoreBird("1234ABCD", 20, "Quessa");
  r = Updater({"-C", "-f", good, "-d", "1234ABCD"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, kBanner + "Birdfile failed validation: model KovaHub, the module is a Quessa\n");
  EXPECT_EQ(Updater({"-C", "-f", good, "-d", "1234ABCD", "-OVERRIDE"}).exitCode, 0);
}

TEST_F(StoreCommands, CheckRefusesDamagedForeignAndEmptyFiles) {
  std::string good = testsupport::MakeBirdBytes(18, "1.10.0", "KovaHub", 0x1234ABCD, Image());
  std::string truncated = WriteFile("cut.bird", good.substr(0, good.size() / 2));
  std::string foreign = WriteFile("notes.txt", "KovaHub firmware notes\n");
  std::vector<birdwriter::Block> infoOnly = {birdwriter::InfoBlock(18, "1.10.0", 0x1234ABCD, "KovaHub")};
  std::vector<uint8_t> bytes = birdwriter::EncodeFile(infoOnly);
  std::string empty = WriteFile("empty.bird", std::string(bytes.begin(), bytes.end()));

  struct Case {
    std::vector<std::string> args;
    std::string error;
  } cases[] = {
      {{"-C"}, "-C must name the BIRD file to check via -f\n"},
      {{"-C", "-f", files.file("absent.bird")}, "Cannot read BIRD file " + files.file("absent.bird") + ": No such file or directory\n"},
      {{"-C", "-f", foreign}, "Not a BIRD file: " + foreign + "\n"},
      {{"-C", "-f", truncated}, "Failed to load bird file " + truncated + ": its body does not decompress (data error)\n"},
      {{"-C", "-f", empty}, "Birdfile failed validation: holds no firmware\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    ProgramResult r = Updater(c.args);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, kBanner + c.error);
  }
  // A file the check refuses is not handed to the update after it.
  ProgramResult r = Updater({"-C", "-U", "-d", "1234ABCD", "-f", truncated});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "");
}

TEST_F(StoreCommands, InfoListsTheStoreWithoutChangingIt) {
  ProgramResult r = Updater({"-I"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "No modules stored in " + StorePath() + "\n");

  AddModule("1234ABCD",
            "LATEST_DOWNLOAD=18.bird\nLAST_DOWNLOAD_DATE=Mon Mar  6 10:00:00 2023\n"
            "LATEST_TRANSFER=17.bird\nLAST_TRANSFER_DATE=Tue Mar  7 11:00:00 2023\n"
            "LATEST_VERIFIED=17.bird\nLAST_VERIFIED_DATE=Tue Mar  7 11:01:00 2023\n");
  StoreBird("1234ABCD", 18, "KovaHub");
  StoreBird("1234ABCD", 9, "KovaHub");
  testsupport::WriteFile(ModuleDir("1234ABCD") + "/notes.txt", "x");
  AddModule("0000BEEF", "");  // no settings yet: nothing recorded
  AddModule("not-a-module", "");
  AddModule("0000beef", "");  // the store names modules in upper case only
  testsupport::WriteFile(storeDir.file("updater/README"), "x");

  const std::string beef = "Module 0000BEEF\n"
                           "    Stored builds:    none\n"
                           "    Latest download:  none\n"
                           "    Latest transfer:  none\n"
                           "    History:          none\n";
  const std::string hub = "Module 1234ABCD\n"
                          "    Stored builds:    9, 18\n"
                          "    Latest download:  18.bird (Mon Mar  6 10:00:00 2023)\n"
                          "    Latest transfer:  17.bird (Tue Mar  7 11:00:00 2023)\n"
                          "    Latest verified:  17.bird (Tue Mar  7 11:01:00 2023)\n"
                          "    History:          none\n";
  r = Updater({"-I"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "Stored modules in " + StorePath() + ":\n" + beef + hub);

  r = Updater({"-I", "-d", "1234abcd"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, hub);

  r = Updater({"-I", "-d", "0BADC0DE"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, kBanner + "No stored information for module 0BADC0DE in " + StorePath() + "\n");

  // A report reads: it creates no settings and no entry.
  struct stat st;
  EXPECT_NE(stat((ModuleDir("0000BEEF") + "/.settings").c_str(), &st), 0);
  EXPECT_NE(stat(ModuleDir("0BADC0DE").c_str(), &st), 0);
}

TEST_F(StoreCommands, BuildListFailsWhenTheServerDoes) {
  testsupport::TempDir catalogue;
  mkdir(catalogue.file("KovaHub").c_str(), 0755);
  testsupport::WriteFile(catalogue.file("KovaHub/18.bird"),
                         testsupport::MakeBirdBytes(18, "1.10.0", "KovaHub", 0, Image()));
  for (const char* fault : {"builds:status:500", "*:status:404"}) {
    SCOPED_TRACE(fault);
    testsupport::LabServerProcess lab({"--catalogue", catalogue.path(), "--device", "1234ABCD:KovaHub", "--fault",
                                       fault, "--log", catalogue.file("requests.log")});
    ASSERT_TRUE(lab.ok());
    ProgramResult r = Updater({"-B", "-d", "1234ABCD", "-u", lab.url()});
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_NE(r.err, "");
    EXPECT_EQ(r.out.find("No builds found"), std::string::npos) << r.out;
  }
  ProgramResult r = Updater({"-B", "-d", "1234ABCD", "-u", "http://127.0.0.1:1/cgi/u"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, kBanner + "Server request failed for http://127.0.0.1:1/cgi/u: Couldn't connect to server\n");
}

namespace {

// Runs the program, sends it `signal` after `delayMs`, and returns its exit code.
int ExitCodeAfterSignal(const std::vector<std::string>& args, int signal, int delayMs) {
  pid_t child = fork();
  if (child == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char*> argv;
    std::string path = testsupport::BinPath("updater");
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& a : args)
      argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  usleep(static_cast<useconds_t>(delayMs) * 1000);
  kill(child, signal);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST_F(StoreCommands, InterruptedRunEndsWith128PlusTheSignal) {
  testsupport::TempDir catalogue;
  mkdir(catalogue.file("KovaHub").c_str(), 0755);
  testsupport::WriteFile(catalogue.file("KovaHub/18.bird"),
                         testsupport::MakeBirdBytes(18, "1.10.0", "KovaHub", 0, Image()));
  // The server answers each request after 1 s: the signal arrives while the request waits.
  testsupport::LabServerProcess lab({"--catalogue", catalogue.path(), "--device", "1234ABCD:KovaHub", "--fault",
                                     "*:stall:1", "--log", catalogue.file("requests.log")});
  ASSERT_TRUE(lab.ok());
  EXPECT_EQ(ExitCodeAfterSignal({"-B", "-d", "1234ABCD", "-u", lab.url()}, SIGTERM, 500), 143);
  EXPECT_EQ(ExitCodeAfterSignal({"-G", "-d", "1234ABCD", "-u", lab.url()}, SIGINT, 500), 130);
}
