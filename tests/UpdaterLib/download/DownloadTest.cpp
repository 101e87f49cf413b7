#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "store/KeyValueStore.h"
#include "server/Bird.h"
#include "RecordingDisplay.h"
#include "ServerTestSupport.h"
#include "Interrupt.h"
#include "Updater.h"
#include "aDirectory.h"

namespace {

// A lab with one hub (builds 17 and 18, latest 18) and an updater on a fresh store.
class DownloadTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string whyNot;
    if (!testsupport::EnterPrivateNetwork(&whyNot))
      GTEST_SKIP() << whyNot;
    lab.AddBird("KovaHub", 17, "1.2.3", testsupport::TestBytes(3000, 17));
    lab.AddBird("KovaHub", 18, "1.10.0", testsupport::TestBytes(3000, 18));
    std::string error;
    ASSERT_TRUE(lab.Start({"device 1234ABCD KovaHub", "device 00000042 Orphan"}, error)) << error;
    updater.reset(new Updater(lab.server->Url().c_str(), store.path().c_str(), display));
  }
  std::string ModuleFile(const std::string& name) const { return store.file("1234ABCD/" + name); }
  std::string Expected(uint32_t build) const {
    std::string file, out, error;
    LabReadFile(lab.dir.file("KovaHub/" + std::to_string(build) + ".bird"), file);
    LabBirdForModule(file, 0x1234ABCD, out, error);
    return out;
  }
  bool RequestSeen(const std::string& needle) const {
    for (const std::string& r : lab.server->Requests())
      if (r.find(needle) != std::string::npos)
        return true;
    return false;
  }

  LabFixture lab;
  testsupport::TempDir store;
  RecordingDisplay display;
  std::unique_ptr<Updater> updater;
};

}  // namespace

TEST_F(DownloadTest, StoresTheLatestBuildForANewModuleAndRecordsIt) {
  ASSERT_EQ(updater->Download_Firmware(0x1234ABCD, "", false), 18u) << display.All();
  EXPECT_EQ(display.Tagged(), (std::vector<std::string>{"I:Retrieving build 18", "I:Validating build 18 with server",
                                                      "I:Build 18 is valid", "I:Stored build 18 in " + ModuleFile("18.bird")}));
  EXPECT_EQ(testsupport::ReadFile(ModuleFile("18.bird")), Expected(18));
  KeyValueStore settings(ModuleFile(".settings").c_str());
  EXPECT_STREQ(settings["LATEST_DOWNLOAD"], "18.bird");
  ASSERT_NE(settings["LAST_DOWNLOAD_DATE"], nullptr);
  EXPECT_EQ(std::string(settings["LAST_DOWNLOAD_DATE"]).size(), 24u);
  EXPECT_NE(settings["CREATED_TIME"], nullptr);
  EXPECT_EQ(settings.GetInt("LATEST_DOWNLOAD", 0), 18);
  ASSERT_GE(display.spinner.size(), 2u);
  EXPECT_EQ(display.spinner.front(), "+Downloading");
  EXPECT_EQ(display.spinner.back(), "-Downloading");
  EXPECT_TRUE(RequestSeen("?bld=18&fw=KovaHub&no_cal=false&op=bird&sn=1234ABCD&"));

  // A named build is checked against the list; one the list lacks is refused.
  display.Clear();
  EXPECT_EQ(updater->Download_Firmware(0x1234ABCD, "17", false), 17u) << display.All();
  EXPECT_EQ(testsupport::ReadFile(ModuleFile("17.bird")), Expected(17));
  EXPECT_STREQ(KeyValueStore(ModuleFile(".settings").c_str())["LATEST_DOWNLOAD"], "17.bird");
  EXPECT_EQ(updater->Download_Firmware(0x1234ABCD, "99", false), 0u);
  EXPECT_TRUE(display.Shows(UpdaterDisplayInterface::Error, "No valid build 99"));
  EXPECT_STREQ(KeyValueStore(ModuleFile(".settings").c_str())["LATEST_DOWNLOAD"], "17.bird");
}

TEST_F(DownloadTest, OverrideSkipsTheBuildListCheck) {
  EXPECT_EQ(updater->Download_Firmware(0x1234ABCD, "17", true), 17u) << display.All();
  EXPECT_TRUE(display.Shows(UpdaterDisplayInterface::Info, "Override specified, skipping validation of build 17"));
  EXPECT_FALSE(RequestSeen("op=builds"));
  // Without the check, a build the server cannot make fails at the download.
  display.Clear();
  EXPECT_EQ(updater->Download_Firmware(0x1234ABCD, "99", true), 0u);
  EXPECT_EQ(display.Tagged(), (std::vector<std::string>{"I:Retrieving build 99",
                                                      "I:Override specified, skipping validation of build 99",
                                                      "E:Download failed: the reply does not begin with \"ok\"",
                                            "E:Failed to retreive a valid BIRD file"}));
}

TEST_F(DownloadTest, RefusesBadArgumentsBeforeAnyServerTraffic) {
  for (const char* bad : {"12x", "-1", "4294967296", " 12"}) {
    display.Clear();
    EXPECT_EQ(updater->Download_Firmware(0x1234ABCD, bad, false), 0u);
    EXPECT_EQ(display.Tagged(), (std::vector<std::string>{std::string("E:Build number '") + bad + "' must be an number"}));
  }
  EXPECT_EQ(updater->Download_Firmware(0, "", false), 0u);
  EXPECT_TRUE(display.Shows(UpdaterDisplayInterface::Error, "Serial Number must be non-zero"));
  EXPECT_TRUE(lab.server->Requests().empty());
}

TEST_F(DownloadTest, ServerFailuresGiveTheirMessagesAndRecordNothing) {
  Updater offline("http://127.0.0.1:1/cgi/u", store.path().c_str(), display);
  EXPECT_EQ(offline.Download_Firmware(0x1234ABCD, "", false), 0u);
  EXPECT_TRUE(display.Shows(UpdaterDisplayInterface::Error, "Server request failed for http://127.0.0.1:1/cgi/u: Couldn't connect to server"))
      << display.All();

  // Unknown to the server: the module's directory is made before the query fails.
  EXPECT_EQ(updater->Download_Firmware(0x0BADBEEF, "", false), 0u);
  EXPECT_TRUE(display.Shows(UpdaterDisplayInterface::Error, "No build information for device: the reply does not begin with \"ok\"")) << display.All();
  struct stat st;
  EXPECT_EQ(stat(store.file("0BADBEEF/.settings").c_str(), &st), 0);

  // An "ok" reply without a BIRD line is a successful request with nothing in it.
  display.Clear();
  lab.server->SetFaults({LabFault{"bird", LabFault::OkOnly, 0}});
  EXPECT_EQ(updater->Download_Firmware(0x1234ABCD, "", false), 0u);
  EXPECT_TRUE(display.Shows(UpdaterDisplayInterface::Error, "Failed to retreive a valid BIRD file"));
  EXPECT_FALSE(display.Shows(UpdaterDisplayInterface::Error, "Download failed"));

  display.Clear();
  lab.server->SetFaults({LabFault{"bird", LabFault::Status, 500}});
  EXPECT_EQ(updater->Download_Firmware(0x1234ABCD, "", false), 0u);
  EXPECT_TRUE(display.Shows(UpdaterDisplayInterface::Error, "Download failed: HTTP 500")) << display.All();
  EXPECT_TRUE(display.Shows(UpdaterDisplayInterface::Error, "Failed to retreive a valid BIRD file"));

  // Text that is not base64 stores nothing and fails.
  display.Clear();
  lab.server->SetFaults({LabFault{"bird", LabFault::Corrupt, 0}});
  EXPECT_EQ(updater->Download_Firmware(0x1234ABCD, "", false), 0u);
  EXPECT_TRUE(display.Shows(UpdaterDisplayInterface::Error, "The BIRD file for build 18 could not be decoded")) << display.All();
  EXPECT_NE(stat(ModuleFile("18.bird").c_str(), &st), 0);
  EXPECT_EQ(KeyValueStore(ModuleFile(".settings").c_str())["LATEST_DOWNLOAD"], nullptr);

  lab.server->SetFaults({LabFault{"builds", LabFault::NoOk, 0}});
  EXPECT_EQ(updater->Download_Firmware(0x1234ABCD, "", false), 0u);
  EXPECT_TRUE(display.Shows(UpdaterDisplayInterface::Error, "No valid build 18"));
}

TEST_F(DownloadTest, AFailedWriteIsReportedAndNotRecorded) {
  // A directory where the file should go makes the write fail.
  ASSERT_EQ(updater->Download_Firmware(0x1234ABCD, "17", false), 17u);
  ASSERT_EQ(mkdir(ModuleFile("18.bird").c_str(), 0755), 0);
  display.Clear();
  EXPECT_EQ(updater->Download_Firmware(0x1234ABCD, "18", false), 0u);
  ASSERT_FALSE(display.messages.empty());
  // The path and the system's reason, not a number.
  EXPECT_EQ(display.Tagged().back(), "E:Failed to write file " + ModuleFile("18.bird") + ": Is a directory")
      << display.All();
  EXPECT_STREQ(KeyValueStore(ModuleFile(".settings").c_str())["LATEST_DOWNLOAD"], "17.bird");
}

TEST_F(DownloadTest, AStalledDownloadEndsAfterTheStallPeriodWithTheSpinnerTurning) {
  setenv("UPDATER_HTTP_STALL_SECONDS", "1", 1);
  lab.server->SetFaults({LabFault{"bird", LabFault::Stall, 60}});
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(updater->Download_Firmware(0x1234ABCD, "", false), 0u);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  unsetenv("UPDATER_HTTP_STALL_SECONDS");
  EXPECT_LT(seconds, 5.0);
  EXPECT_TRUE(display.Shows(UpdaterDisplayInterface::Error, "Download failed: Timeout was reached")) << display.All();
  // One turn on start, about one per 100 ms while waiting, one to clear.
  EXPECT_GE(display.spinner.size(), 9u);
  EXPECT_LE(display.spinner.size(), 60u);
  EXPECT_EQ(display.spinner.back(), "-Downloading");
}

TEST_F(DownloadTest, BuildListComesFromTheServerOrIsEmptyWithAMessage) {
  EXPECT_EQ(updater->Get_BuildList(0x1234ABCD), (BuildList{{"17", "1.2.3"}, {"18", "1.10.0"}}));
  EXPECT_TRUE(display.messages.empty());
  EXPECT_TRUE(updater->_valid_build(0x1234ABCD, 17, lab.server->Url().c_str()));
  EXPECT_FALSE(updater->_valid_build(0x1234ABCD, 19, lab.server->Url().c_str()));
  // A listed key that is not a number is no build at all, not build 0.
  ScriptedServer scripted;
  scripted.Answer(200, "ok\nabc;1.0\n");
  EXPECT_FALSE(updater->_valid_build(0x1234ABCD, 0, scripted.url().c_str()));
  EXPECT_TRUE(updater->Get_BuildList(0x00000042).empty());  // a model with no files
  EXPECT_TRUE(display.messages.empty());
  EXPECT_TRUE(updater->Get_BuildList(0x0BADBEEF).empty());
  EXPECT_TRUE(display.Shows(UpdaterDisplayInterface::Error, "Failed to retrieve builds for 0BADBEEF: the reply does not begin with \"ok\"")) << display.All();
  lab.server->SetFaults({LabFault{"hi", LabFault::Status, 503}});
  EXPECT_TRUE(updater->Get_BuildList(0x1234ABCD).empty());
  EXPECT_TRUE(display.Shows(UpdaterDisplayInterface::Error, "Server request failed for " + lab.server->Url() + ": HTTP 503"))
      << display.All();
}

TEST_F(DownloadTest, BuildListTellsAFailureFromNoBuilds) {
  BuildList builds = {{"stale", "x"}};
  EXPECT_TRUE(updater->Get_BuildList(0x1234ABCD, builds));
  EXPECT_EQ(builds, (BuildList{{"17", "1.2.3"}, {"18", "1.10.0"}}));
  EXPECT_TRUE(updater->Get_BuildList(0x00000042, builds));  // answered: no builds
  EXPECT_TRUE(builds.empty());
  EXPECT_TRUE(display.messages.empty());
  builds = {{"stale", "x"}};
  EXPECT_FALSE(updater->Get_BuildList(0x0BADBEEF, builds));  // the server refuses the module
  EXPECT_TRUE(builds.empty());
  lab.server->SetFaults({LabFault{"hi", LabFault::Status, 503}});
  EXPECT_FALSE(updater->Get_BuildList(0x1234ABCD, builds));
  EXPECT_EQ(display.Tagged().back(), "E:Server request failed for " + lab.server->Url() + ": HTTP 503");
}

TEST_F(DownloadTest, CtrlCEndsAStalledDownloadPromptlyWithOneLine) {
  lab.server->SetFaults({LabFault{"bird", LabFault::Stall, 30}});
  Interrupt::Install();
  std::thread user([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::raise(SIGINT);
  });
  auto start = std::chrono::steady_clock::now();
  uint32_t stored = updater->Download_Firmware(0x1234ABCD, "", false);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  user.join();
  Interrupt::Clear();
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  EXPECT_EQ(stored, 0u);
  EXPECT_LT(seconds, 3.0);
  EXPECT_EQ(display.Errors(), (std::vector<std::string>{"Download interrupted: nothing was stored"}));
  EXPECT_EQ(display.spinner.back(), "-Downloading");
  struct stat st;
  EXPECT_NE(stat(ModuleFile("18.bird").c_str(), &st), 0);
  int entries = 0;
  aDirectory_List(
      store.file("1234ABCD").c_str(), [](const aDirectoryListData*, void* n) { return ++*static_cast<int*>(n) > 0; },
      &entries);
  EXPECT_EQ(entries, 5);  // ".", "..", ".settings" and the entry's and the build's lock files
  EXPECT_EQ(KeyValueStore(ModuleFile(".settings").c_str())["LATEST_DOWNLOAD"], nullptr);
}
