// Download by recovery fingerprint: the server names the module and the build.
#include <gtest/gtest.h>

#include "PrivateNetwork.h"
#include "RecordingDisplay.h"
#include "ServerTestSupport.h"
#include "TestSupport.h"
#include "Updater.h"

TEST(DownloadByFingerprint, TheServerNamesModuleAndBuild) {
  std::string whyNot;
  if (!testsupport::EnterPrivateNetwork(&whyNot))
    GTEST_SKIP() << whyNot;
  LabFixture lab;
  lab.AddBird("KovaHub", 17, "1.2.3", testsupport::TestBytes(3000, 17));
  lab.AddBird("KovaHub", 18, "1.10.0", testsupport::TestBytes(3000, 18));
  std::string error;
  ASSERT_TRUE(lab.Start({"device 1234ABCD KovaHub 18", "fix 1 2 3 ABCDEF00 1234ABCD 17"}, error)) << error;
  testsupport::TempDir store;
  RecordingDisplay display;
  Updater updater(lab.server->Url().c_str(), store.path().c_str(), display);

  Fingerprint fp;
  fp.word[0] = 1;
  fp.word[1] = 2;
  fp.word[2] = 3;
  fp.word[3] = 0xABCDEF00;
  // The server's build, unless one is asked for.
  EXPECT_EQ(updater.Download_Firmware(fp, "", false), 17u);
  EXPECT_FALSE(testsupport::ReadFile(store.file("1234ABCD/17.bird")).empty());
  EXPECT_EQ(updater.Download_Firmware(fp, "18", false), 18u);
  EXPECT_FALSE(testsupport::ReadFile(store.file("1234ABCD/18.bird")).empty());

  fp.word[3] = 4;  // a chip the server does not know
  EXPECT_EQ(updater.Download_Firmware(fp, "", false), 0u);
  EXPECT_TRUE(Shown(display.Errors(), "Failed to retreive recovery information from Tessoral update server " +
                                          lab.server->Url() + ": the reply does not begin with \"ok\""))
      << display.All();
}
