#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>

#include "server/Server.h"
#include "server/Bird.h"
#include "server/Catalogue.h"
#include "LabServerSupport.h"
#include "PrivateNetwork.h"
#include "TestSupport.h"

using testsupport::MakeBirdBytes;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

void AddBird(const TempDir& dir, const std::string& model, const std::string& name, const std::string& bytes) {
  mkdir(dir.file(model).c_str(), 0755);
  WriteFile(dir.file(model + "/" + name), bytes);
}

// Start of the 64 information bytes inside content made by MakeBirdBytes.
const size_t kInfoAt = 4 + 5;

}  // namespace

TEST(LabServerBird, StampsTheSerialNumberAndKeepsEverythingElse) {
  std::string image(5000, '\0');
  for (size_t i = 0; i < image.size(); i++)
    image[i] = static_cast<char>(i * 31);
  std::string original = MakeBirdBytes(1234, "3.4.5", "KovaSwitch", 0, image);
  std::string patched, error;
  ASSERT_TRUE(LabBirdForModule(original, 0x00C0FFEE, patched, error)) << error;
  EXPECT_EQ(patched.substr(0, 6), original.substr(0, 6));
  std::string before = testsupport::BirdContent(original), after = testsupport::BirdContent(patched);
  ASSERT_EQ(before.size(), after.size());
  EXPECT_EQ(after.substr(kInfoAt + 32, 8), "00C0FFEE");
  EXPECT_EQ(after.replace(kInfoAt + 32, 8, "00000000"), before);

  LabBirdInfo info;
  ASSERT_TRUE(LabBirdDescribe(patched, info, error)) << error;
  EXPECT_EQ(info.build, 1234u);
  EXPECT_EQ(info.version, "3.4.5");
  EXPECT_EQ(info.model, "KovaSwitch");
  EXPECT_EQ(info.serial, 0x00C0FFEEu);

  // Broken files are refused with a reason, never read past their end.
  EXPECT_FALSE(LabBirdDescribe("bird\x01\x01", info, error));
  EXPECT_FALSE(LabBirdDescribe("nope" + original.substr(4), info, error));
  EXPECT_FALSE(LabBirdDescribe(original.substr(0, original.size() - 3), info, error));
  EXPECT_EQ(error, "BIRD body is not a complete zlib stream");
}

TEST(LabServerCatalogue, ReadsModelFoldersConfigAndEntries) {
  TempDir dir;
  AddBird(dir, "KovaHub", "a.bird", MakeBirdBytes(17, "1.2.3", "KovaHub", 0, "a"));
  AddBird(dir, "KovaHub", "any-name.bird", MakeBirdBytes(9, "0.9", "KovaHub", 0, "b"));
  AddBird(dir, "KovaHub", "notes.txt", "not a bird");
  AddBird(dir, "KovaIO", "x.bird", MakeBirdBytes(5, "5.0", "KovaIO", 0, "c"));
  WriteFile(dir.file("lab-server.conf"), "# lab modules\ndevice 1234ABCD KovaHub\n\ndevice 00000042 KovaIO 4  # pinned\n");
  LabServerCatalogue catalogue;
  std::string error;
  ASSERT_TRUE(catalogue.LoadDirectory(dir.path(), error)) << error;
  EXPECT_EQ(catalogue.FileCount(), 3u);
  const CatalogueDevice* hub = catalogue.FindDevice(0x1234ABCD);
  ASSERT_NE(hub, nullptr);
  EXPECT_EQ(catalogue.LatestBuild(*hub), 17u);
  EXPECT_EQ(catalogue.ModelBuilds("KovaHub").at(9).version, "0.9");
  ASSERT_NE(catalogue.FindDevice(0x42), nullptr);
  EXPECT_EQ(catalogue.LatestBuild(*catalogue.FindDevice(0x42)), 4u);
  EXPECT_EQ(catalogue.FindBuild("KovaIO", 4), nullptr);

  EXPECT_TRUE(catalogue.AddEntry("fix 1 2 3 DEADBEEF 1234ABCD 17", error)) << error;
  uint32_t fp[4] = {1, 2, 3, 0xDEADBEEF};
  ASSERT_NE(catalogue.FindFix(fp), nullptr);
  EXPECT_EQ(catalogue.FindFix(fp)->serial, 0x1234ABCDu);
  for (const char* bad : {"device", "device XYZ KovaHub", "device 123456789 KovaHub", "device 1 KovaHub 1x",
                          "fix 1 2 3 1234ABCD 17", "gadget 1"})
    EXPECT_FALSE(catalogue.AddEntry(bad, error)) << bad;

  WriteFile(dir.file("lab-server.conf"), "device 1 KovaHub\nfix 1 2\n");
  LabServerCatalogue second;
  EXPECT_FALSE(second.LoadDirectory(dir.path(), error));
  EXPECT_NE(error.find("lab-server.conf:2: expected: fix"), std::string::npos) << error;

  AddBird(dir, "KovaIO", "broken.bird", "bird\x01\x01garbage");
  LabServerCatalogue third;
  EXPECT_FALSE(third.LoadDirectory(dir.path(), error));
  EXPECT_NE(error.find("broken.bird"), std::string::npos) << error;
}

TEST(LabServer, ParsesFaultSwitches) {
  LabFault f;
  std::string error;
  ASSERT_TRUE(LabParseFault("bird:status:503", f, error));
  EXPECT_EQ(f.op, "bird");
  EXPECT_EQ(f.kind, LabFault::Status);
  EXPECT_EQ(f.arg, 503);
  ASSERT_TRUE(LabParseFault("*:stall:30", f, error));
  EXPECT_EQ(f.kind, LabFault::Stall);
  EXPECT_EQ(f.arg, 30);
  ASSERT_TRUE(LabParseFault("qu:close", f, error));
  EXPECT_EQ(f.kind, LabFault::Close);
  for (const char* bad : {"bird", "bird:status", "bird:status:42", "bird:stall:x", "nop:close", "hi:close:1", "hi:boom"})
    EXPECT_FALSE(LabParseFault(bad, f, error)) << bad;
}

TEST(LabServer, ProgramServesLogsAndStopsOnSigterm) {
  testsupport::ProgramResult help = testsupport::RunProgram({testsupport::BinPath("updater-lab"), "server", "--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("--fault OP:KIND"), std::string::npos);
  EXPECT_EQ(testsupport::RunProgram({testsupport::BinPath("updater-lab"), "server"}).exitCode, 2);
  EXPECT_EQ(testsupport::RunProgram({testsupport::BinPath("updater-lab"), "server", "--catalogue", "/nonexistent"}).exitCode, 1);

  std::string whyNot;
  if (!testsupport::EnterPrivateNetwork(&whyNot))
    GTEST_SKIP() << whyNot;
  TempDir dir;
  AddBird(dir, "KovaHub", "17.bird", MakeBirdBytes(17, "1.2.3", "KovaHub", 0, std::string(2000, 'z')));
  std::string log = dir.file("requests.log");
  testsupport::LabServerProcess lab({"--catalogue", dir.path(), "--device", "1234ABCD:KovaHub", "--log", log, "--fault",
                                     "fix:status:418", "--fault", "bird:close", "--fix", "1:2:3:4:1234ABCD:17"});
  ASSERT_TRUE(lab.ok());
  ASSERT_EQ(lab.url().compare(0, 17, "http://127.0.0.1:"), 0) << lab.url();
  ASSERT_EQ(lab.url().substr(lab.url().size() - 6), "/cgi/u");
  httplib::Client client(lab.url().substr(0, lab.url().size() - 6));

  auto qu = client.Get("/cgi/u?op=qu&sn=1234ABCD&");
  ASSERT_TRUE(qu);
  EXPECT_EQ(qu->status, 200);
  EXPECT_EQ(qu->body, "ok\n17\nKovaHub\n");
  auto builds = client.Get("/cgi/u?op=builds&sn=1234ABCD&");
  ASSERT_TRUE(builds);
  EXPECT_EQ(builds->body, "ok\n17;1.2.3\n");
  auto unknown = client.Get("/cgi/u?op=qu&sn=99&");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->body.compare(0, 6, "error\n"), 0);
  auto fix = client.Get("/cgi/u?brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&");
  ASSERT_TRUE(fix);
  EXPECT_EQ(fix->status, 418);
  auto bird = client.Get("/cgi/u?bld=17&fw=KovaHub&no_cal=false&op=bird&sn=1234ABCD&");
  EXPECT_FALSE(bird);  // the connection is dropped halfway through the reply
  auto other = client.Get("/other");
  ASSERT_TRUE(other);
  EXPECT_EQ(other->status, 404);

  EXPECT_EQ(lab.Stop(), 0);
  std::string text = testsupport::ReadFile(log);
  EXPECT_NE(text.find("GET /cgi/u?op=qu&sn=1234ABCD& -> 200 14 bytes\n"), std::string::npos) << text;
  EXPECT_NE(text.find("op=fix& -> 418 8 bytes fault status\n"), std::string::npos) << text;
  EXPECT_NE(text.find("op=bird&sn=1234ABCD& -> 200 "), std::string::npos) << text;
  EXPECT_NE(text.find(" fault close\n"), std::string::npos) << text;
  EXPECT_NE(text.find("GET /other -> 404"), std::string::npos) << text;
}

TEST(LabServer, AStopBeforeServingIsNotLost) {
  std::string whyNot;
  if (!testsupport::EnterPrivateNetwork(&whyNot))
    GTEST_SKIP() << whyNot;
  LabServerCatalogue catalogue;
  LabServerOptions options;
  options.log = nullptr;
  // A signal can arrive between binding and serving; Run must then end at once.
  LabServer server(catalogue, options);
  std::string error;
  ASSERT_TRUE(server.Bind(error)) << error;
  server.Stop();
  EXPECT_FALSE(server.Run());
  for (int i = 0; i < 20; i++) {
    LabServer started(catalogue, options);
    ASSERT_TRUE(started.Start(error)) << error;
  }  // each destructor stops and joins a server that may not be listening yet
}
