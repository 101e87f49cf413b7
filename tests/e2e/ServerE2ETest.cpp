// The updater program's -B and -G against the lab update server, each run in a
// private network namespace with a private store bound over ~/.tessoral.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "server/Bird.h"
#include "LabServerSupport.h"
#include "PrivateStoreTest.h"
#include "ServerTestSupport.h"
#include "TestSupport.h"

using testsupport::ProgramResult;

namespace {

class ServerE2E : public testsupport::PrivateStoreTest {
protected:
  void SetUp() override {
    PrivateStoreTest::SetUp();
    if (IsSkipped() || HasFatalFailure())
      return;
    AddBird(17, "1.2.3", testsupport::TestBytes(2000, 17));
    AddBird(18, "1.10.0", testsupport::TestBytes(2000, 18));
    AddBird(20, "1.9", testsupport::TestBytes(2000, 20));
  }
  void AddBird(uint32_t build, const std::string& version, const std::string& image) {
    mkdir(catalogue.file("KovaHub").c_str(), 0755);
    testsupport::WriteFile(catalogue.file("KovaHub/" + std::to_string(build) + ".bird"),
                           testsupport::MakeBirdBytes(build, version, "KovaHub", 0, image));
  }
  void StartLab(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"--catalogue", catalogue.path(), "--device", "1234ABCD:KovaHub:18",
                                     "--log", catalogue.file("requests.log")};
    args.insert(args.end(), extra.begin(), extra.end());
    lab.reset(new testsupport::LabServerProcess(args));
    ASSERT_TRUE(lab->ok());
  }
  std::string Stored(const std::string& name) const { return storeDir.file("updater/1234ABCD/" + name); }
  std::string Expected(uint32_t build) const {
    std::string file, out, error;
    LabReadFile(catalogue.file("KovaHub/" + std::to_string(build) + ".bird"), file);
    LabBirdForModule(file, 0x1234ABCD, out, error);
    return out;
  }
  std::string Setting(const std::string& key) const {
    std::string text = "\n" + testsupport::ReadFile(Stored(".settings"));
    size_t at = text.find("\n" + key + "=");
    if (at == std::string::npos)
      return "<absent>";
    at += key.size() + 2;
    return text.substr(at, text.find('\n', at) - at);
  }

  testsupport::TempDir catalogue;
  std::unique_ptr<testsupport::LabServerProcess> lab;
};

}  // namespace

TEST_F(ServerE2E, BuildListIsSortedByVersionText) {
  StartLab();
  ProgramResult r = Updater({"-B", "-d", "1234ABCD", "-u", lab->url()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::string listing = "Build List for device [1234ABCD]:\n\n"
                        "Build          \tVersion        \n"
                        "18             \t1.10.0         \n"
                        "17             \t1.2.3          \n"
                        "20             \t1.9            \n";
  EXPECT_NE(r.out.find(listing), std::string::npos) << r.out;

  lab.reset();  // no server: the message and exit 1, not an empty list
  r = Updater({"-B", "-d", "1234ABCD", "-u", "http://127.0.0.1:1/cgi/u"});
  EXPECT_EQ(r.exitCode, 1);
  // The line the user reads names the URL and why it failed.
  EXPECT_NE(r.err.find("Server request failed for http://127.0.0.1:1/cgi/u: Couldn't connect to server\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out.find("No builds found for device [1234ABCD]"), std::string::npos) << r.out;
}

TEST_F(ServerE2E, DownloadStoresTheExactBytesAndRecordsThem) {
  StartLab();
  ProgramResult r = Updater({"-G", "-d", "1234ABCD", "-u", lab->url()});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(testsupport::ReadFile(Stored("18.bird")), Expected(18));
  EXPECT_EQ(Setting("LATEST_DOWNLOAD"), "18.bird");
  EXPECT_EQ(Setting("LAST_DOWNLOAD_DATE").size(), 24u);
  // Piped output: messages, no spinner.
  EXPECT_NE(r.out.find("Retrieving build 18\nValidating build 18 with server\nBuild 18 is valid\n"), std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find('\r'), std::string::npos);
  EXPECT_EQ(r.out.find("Downloading"), std::string::npos);

  // On a terminal the spinner turns and is cleared.
  // It is cleared to one short of the terminal's width, so the clearing never wraps.
  r = Updater({"-G", "-d", "1234ABCD", "-b", "17", "-u", lab->url()}, {"COLUMNS=60"}, true);
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("\r (Downloading) .      \r"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\r" + std::string(59, ' ') + "\r"), std::string::npos);
  EXPECT_EQ(testsupport::ReadFile(Stored("17.bird")), Expected(17));
  EXPECT_EQ(Setting("LATEST_DOWNLOAD"), "17.bird");
}

TEST_F(ServerE2E, DownloadFailuresExitWithOne) {
  StartLab({"--fault", "qu:nook"});
  std::string url = lab->url();
  ProgramResult r = Updater({"-G", "-d", "1234ABCD", "-u", url});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("No build information for device: the reply does not begin with \"ok\"\n"), std::string::npos)
      << r.err;

  StartLab({"--fault", "bird:corrupt"});
  r = Updater({"-G", "-d", "1234ABCD", "-b", "99", "-u", lab->url()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("No valid build 99\n"), std::string::npos) << r.err;
  r = Updater({"-G", "-d", "1234ABCD", "-u", lab->url()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("The BIRD file for build 18 could not be decoded\n"), std::string::npos) << r.err;
  EXPECT_EQ(Setting("LATEST_DOWNLOAD"), "<absent>");

  StartLab({"--fault", "bird:okonly"});
  r = Updater({"-G", "-d", "1234ABCD", "-u", lab->url()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Failed to retreive a valid BIRD file\n"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("Download failed"), std::string::npos);

  lab.reset();
  r = Updater({"-G", "-d", "1234ABCD", "-u", url});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Server request failed for " + url + ": Couldn't connect to server\n"), std::string::npos)
      << r.err;
  r = Updater({"-G", "-u", url});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("-G must specify a specific device via -d\n"), std::string::npos) << r.err;
}

TEST_F(ServerE2E, AStalledServerEndsTheDownloadWithinTheBound) {
  StartLab({"--fault", "bird:stall:60"});
  ProgramResult r = Updater({"-G", "-d", "1234ABCD", "-u", lab->url()}, {"UPDATER_HTTP_STALL_SECONDS=2"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_LT(r.seconds, 6.0);
  EXPECT_GE(r.seconds, 1.9);
  EXPECT_NE(r.err.find("Download failed: Timeout was reached\nFailed to retreive a valid BIRD file\n"), std::string::npos)
      << r.err;
}

TEST_F(ServerE2E, FourMegabyteDownload) {
  AddBird(30, "3.0.0", testsupport::TestBytes(4 * 1024 * 1024, 7));
  StartLab({"--device", "00C0FFEE:KovaHub"});
  ProgramResult r = Updater({"-G", "-d", "00C0FFEE", "-u", lab->url(), "-X", "1"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::string stored = testsupport::ReadFile(storeDir.file("updater/00C0FFEE/30.bird"));
  EXPECT_GT(stored.size(), 4u * 1024 * 1024);
  EXPECT_EQ(testsupport::BirdContent(stored).substr(4 + 5 + 32, 8), "00C0FFEE");
  size_t decoded = r.err.find("Decoded ");
  size_t written = r.err.find("Wrote 30.bird (");
  ASSERT_NE(decoded, std::string::npos) << r.err.substr(0, 2000);
  ASSERT_NE(written, std::string::npos);
  std::cout << "[ timing   ] whole run " << r.seconds << " s; " << r.err.substr(decoded, r.err.find('\n', decoded) - decoded)
            << "; " << r.err.substr(written, r.err.find('\n', written) - written) << "\n";
}

TEST_F(ServerE2E, ABadDownloadLeavesTheStoredFileAndSettingsAlone) {
  StartLab();
  ASSERT_EQ(Updater({"-G", "-d", "1234ABCD", "-u", lab->url()}).exitCode, 0);
  const std::string good = testsupport::ReadFile(Stored("18.bird"));
  const std::string settings = testsupport::ReadFile(Stored(".settings"));

  // Valid base64 of four bytes is no BIRD file.
  StartLab({"--fault", "bird:foreign"});
  ProgramResult r = Updater({"-G", "-d", "1234ABCD", "-u", lab->url()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("The server sent no valid BIRD file for build 18\n"), std::string::npos) << r.err;
  EXPECT_EQ(testsupport::ReadFile(Stored("18.bird")), good);
  EXPECT_EQ(testsupport::ReadFile(Stored(".settings")), settings);

  // Build 0 names no build: the latest is fetched, and never a "0.bird".
  StartLab();
  r = Updater({"-G", "-d", "1234ABCD", "-b", "0", "-u", lab->url()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("Retrieving build 18\n"), std::string::npos) << r.out;
  struct stat st;
  EXPECT_NE(stat(Stored("0.bird").c_str(), &st), 0);
}

TEST_F(ServerE2E, ServersThatDripOrFloodAreCutOff) {
  // Two bytes a second pass the stall check for ever; the request's own limit ends it.
  StartLab({"--fault", "bird:drip"});
  ProgramResult r = Updater({"-G", "-d", "1234ABCD", "-u", lab->url()}, {"UPDATER_HTTP_TOTAL_SECONDS=2"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_LT(r.seconds, 6.0);
  EXPECT_NE(r.err.find("Download failed: Timeout was reached\n"), std::string::npos) << r.err;

  // A build list of 64 MiB is no build list: the reply is cut off, not kept.
  StartLab({"--fault", "builds:huge:64"});
  r = Updater({"-B", "-d", "1234ABCD", "-u", lab->url(), "-X", "0x20"});
  EXPECT_NE(r.err.find("Failed to retrieve builds for 1234ABCD: reply larger than 1048576 bytes\n"), std::string::npos)
      << r.err.substr(0, 2000);
  EXPECT_NE(r.err.find("reply too large"), std::string::npos);
  EXPECT_LT(r.seconds, 10.0);
}

TEST_F(ServerE2E, ServerFailuresNameTheirCause) {
  // Each cause the user can act on reaches the line they read.
  StartLab({"--fault", "hi:status:500"});
  ProgramResult r = Updater({"-G", "-d", "1234ABCD", "-u", lab->url()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Server request failed for " + lab->url() + ": HTTP 500\n"), std::string::npos) << r.err;

  // A wrong path on a live server: 404 from the server itself.
  StartLab();
  std::string wrongPath = lab->url().substr(0, lab->url().rfind('/')) + "/nothing";
  r = Updater({"-B", "-d", "1234ABCD", "-u", wrongPath});
  EXPECT_NE(r.err.find("Server request failed for " + wrongPath + ": HTTP 404\n"), std::string::npos) << r.err;

  StartLab({"--fault", "bird:status:503"});
  r = Updater({"-G", "-d", "1234ABCD", "-u", lab->url()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Download failed: HTTP 503\nFailed to retreive a valid BIRD file\n"), std::string::npos)
      << r.err;

  // The name is looked up at the private loopback, where no resolver answers:
  // the host is not found, and no query leaves the namespace.
  testsupport::TempDir etc;
  testsupport::WriteFile(etc.file("resolv.conf"), "nameserver 127.0.0.1\n");
  ASSERT_EQ(mount(etc.file("resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr), 0)
      << std::strerror(errno);
  r = Updater({"-B", "-d", "1234ABCD", "-u", "http://no-such-host.invalid/cgi/u"});
  EXPECT_NE(r.err.find("Server request failed for http://no-such-host.invalid/cgi/u: Couldn't resolve host name\n"),
            std::string::npos)
      << r.err;
  umount("/etc/resolv.conf");
}

TEST_F(ServerE2E, UnloadableBirdFilesNameThePathAndTheReason) {
  testsupport::TempDir files;
  std::string missing = files.file("missing.bird");
  std::string text = files.file("notes.bird");
  testsupport::WriteFile(text, "these are release notes, not firmware\n");
  const std::pair<std::string, std::string> cases[] = {
      {missing, ": No such file or directory\n"},
      {files.path(), ": Is a directory\n"},
      {text, ": not a BIRD file (it does not begin with \"bird\")\n"},
  };
  for (const auto& c : cases) {
    ProgramResult r = Updater({"-U", "-d", "1234ABCD", "-f", c.first});
    EXPECT_EQ(r.exitCode, 1) << c.first;
    EXPECT_NE(r.err.find("Failed to load bird file " + c.first + c.second), std::string::npos) << r.err;
  }
  // Unreadable for its owner too: root reads anything, so only a plain user sees this.
  if (geteuid() != 0) {
    std::string locked = files.file("locked.bird");
    testsupport::WriteFile(locked, "bird");
    chmod(locked.c_str(), 0);
    ProgramResult r = Updater({"-U", "-d", "1234ABCD", "-f", locked});
    EXPECT_NE(r.err.find("Failed to load bird file " + locked + ": Permission denied\n"), std::string::npos) << r.err;
  }
}

TEST_F(ServerE2E, ABuildMissingFromTheStoreNamesTheCommandThatFetchesIt) {
  StartLab();
  ASSERT_EQ(Updater({"-G", "-d", "1234ABCD", "-b", "17", "-u", lab->url()}).exitCode, 0);
  ProgramResult r = Updater({"-U", "-d", "1234ABCD", "-b", "1310", "-u", lab->url()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Failed to load bird file: build 1310 is not in the store; run: updater -G -d 1234ABCD -b 1310\n"),
            std::string::npos)
      << r.err;
}

TEST_F(ServerE2E, AServerBuildNumberThatIsNoWhole32BitNumberIsRefused) {
  // Every request gets the same reply: "ok" passes the ping, and the query's
  // build line is the number under test. Cut to 32 bits or read up to the
  // junk, each would name a real build (0xFA11, 2100, 4294967295, 18).
  ScriptedServer server;
  for (const char* latest : {"10000FA11", "4294969396", "-1", "18x"}) {
    server.Answer(200, std::string("ok\n") + latest + "\nKovaHub\n");
    ProgramResult r = Updater({"-G", "-d", "1234ABCD", "-u", server.url()});
    EXPECT_EQ(r.exitCode, 1) << latest;
    EXPECT_NE(r.err.find("The server names no build for device 1234ABCD\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Retrieving build"), std::string::npos) << latest << ": " << r.out;
  }
}
