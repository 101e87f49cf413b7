// The -U flow up to the module: build choice, file loading and the checks before connecting.
// No module answers here (the lab end to end tests cover the transfer); the server is the
// lab server on loopback, and everything runs in a private network namespace.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "BirdWriter.h"
#include "server/Server.h"
#include "server/Catalogue.h"
#include "RecordingDisplay.h"
#include "LabNetwork.h"
#include "TestSupport.h"
#include "Updater.h"
#include "store/UpdaterStore.h"
#include "update/FirmwareUpdate.h"

namespace {

constexpr uint32_t kSerial = 0x00C0FFEE;

std::string Bird(uint32_t build) {
  std::vector<birdwriter::Block> blocks{
      birdwriter::InfoBlock(build, "1.0.0", kSerial, "Holvex"),
      birdwriter::AddressedBlock(birdwriter::kLoader, 0x20000000, birdwriter::RandomBytes(40, 1)),
      birdwriter::AddressedBlock(birdwriter::kFirmware, 0, birdwriter::RandomBytes(300, 2))};
  std::vector<uint8_t> bytes = birdwriter::EncodeFile(blocks);
  return std::string(bytes.begin(), bytes.end());
}

// A store entry for the module holding the given builds and settings.
void Store(const std::string& dir, const std::vector<uint32_t>& builds,
           const std::vector<std::pair<std::string, std::string>>& settings) {
  UpdaterStore store(dir);
  UpdaterStoreItem item = store.AddDevice(kSerial);
  for (uint32_t build : builds) {
    std::string bytes = Bird(build);
    item.WriteFile((std::to_string(build) + ".bird").c_str(), reinterpret_cast<const uint8_t*>(bytes.data()),
                   static_cast<uint32_t>(bytes.size()));
  }
  for (auto& kv : settings) item.settings.Add(kv.first, kv.second);
  item.settings.Save();
}

std::string SettingsText(const std::string& dir) { return testsupport::ReadFile(dir + "/00C0FFEE/.settings"); }

// Runs `body` with a lab server that names `latest` as the module's build.
void WithServer(uint32_t latest, const std::function<void(const std::string& url)>& body) {
  testsupport::TempDir catalogueDir;
  mkdir(catalogueDir.file("Holvex").c_str(), 0755);
  testsupport::WriteFile(catalogueDir.file("Holvex/" + std::to_string(latest) + ".bird"), Bird(latest));
  LabServerCatalogue catalogue;
  std::string error;
  ASSERT_TRUE(catalogue.LoadDirectory(catalogueDir.path(), error)) << error;
  ASSERT_TRUE(catalogue.AddEntry("device 00C0FFEE Holvex", error)) << error;
  LabServerOptions options;
  options.log = nullptr;
  LabServer server(catalogue, options);
  ASSERT_TRUE(server.Start(error)) << error;
  body(server.Url());
  server.Stop();
}

// Discovery and the server stay inside a network namespace of the test's own.
#define REQUIRE_PRIVATE_NETWORK()                                   \
  std::string whyNot;                                               \
  if (!testsupport::EnterPrivateNetwork(&whyNot)) GTEST_SKIP() << whyNot

}  // namespace

TEST(UpdateFirmware, ServerBuildNotStoredFallsBackToTheLatestDownload) {
  REQUIRE_PRIVATE_NETWORK();
  WithServer(5000, [](const std::string& url) {
    testsupport::TempDir dir;
    Store(dir.path(), {4990}, {{"LATEST_DOWNLOAD", "4990.bird"}});
    RecordingDisplay display;
    Updater updater(url.c_str(), dir.path().c_str(), display);
    EXPECT_FALSE(updater.Update_Firmware(kSerial, 0, "", 0, 0, false));  // no module to reach
    EXPECT_TRUE(Shown(display.Infos(),
                      "New firmware is available.  Updater will proceed if valid firmware is found locally."));
    EXPECT_TRUE(Shown(display.Infos(), "Updating with the Latest Download"));
    EXPECT_TRUE(Shown(display.Infos(), "Updating firmware with build: 4990"));
    EXPECT_TRUE(Shown(display.Errors(), "Failed to connect to module [00C0FFEE]: not found over USB or TCP/IP; "
                                      "check it with -D (-t TCPIP searches the network)"));
    ASSERT_FALSE(display.Infos().empty());
    EXPECT_EQ(0u, display.Infos().back().find("Update time: "));
    EXPECT_EQ(std::string::npos, SettingsText(dir.path()).find("LATEST_TRANSFER"));  // nothing transferred

    // The server's build is used when it is stored, and no fallback is announced.
    Store(dir.path(), {5000}, {});
    RecordingDisplay second;
    Updater again(url.c_str(), dir.path().c_str(), second);
    EXPECT_FALSE(again.Update_Firmware(kSerial, 0, "", 0, 0, false));
    EXPECT_TRUE(Shown(second.Infos(), "Updating firmware with build: 5000"));
    EXPECT_FALSE(Shown(second.Infos(), "Updating with the Latest Download"));
  });
}

TEST(UpdateFirmware, BuildChoiceWithoutServer) {
  REQUIRE_PRIVATE_NETWORK();
  const char* noServer = "http://127.0.0.1:1/cgi/u";
  testsupport::TempDir dir;
  RecordingDisplay display;
  Updater updater(noServer, dir.path().c_str(), display);

  // Empty store, no server: nothing to install, and no module is looked for.
  EXPECT_FALSE(updater.Update_Firmware(kSerial, 0, "", 0, 0, false));
  EXPECT_EQ((std::vector<std::string>{"Could not find valid build for this device."}), display.Errors());

  // The last transfer is the last resort.
  Store(dir.path(), {300}, {{"LATEST_TRANSFER", "300.bird"}});
  display.Clear();
  EXPECT_FALSE(updater.Update_Firmware(kSerial, 0, "", 0, 0, false));
  EXPECT_TRUE(Shown(display.Infos(), "Updating with the Latest Transfer"));
  EXPECT_TRUE(Shown(display.Infos(), "Updating firmware with build: 300"));

  // A named build that the store lacks cannot be loaded.
  display.Clear();
  EXPECT_FALSE(updater.Update_Firmware(kSerial, 301, "", 0, 0, false));
  ASSERT_EQ(display.Errors().size(), 1u);
  EXPECT_NE(display.Errors()[0].find("Failed to load bird file: build 301 is not in the store; run: updater -G -d "),
            std::string::npos) << display.Errors()[0];

  display.Clear();
  EXPECT_FALSE(updater.Update_Firmware(0, 300, "", 0, 0, false));
  EXPECT_EQ((std::vector<std::string>{"Update command must specify the specific device"}), display.Errors());
}

TEST(UpdateFirmware, FileAndRouterChecksComeBeforeAnyConnection) {
  REQUIRE_PRIVATE_NETWORK();
  testsupport::TempDir dir, files;
  std::string path = files.file("given.bird");
  testsupport::WriteFile(path, Bird(42));
  RecordingDisplay display;
  Updater updater("http://127.0.0.1:1/cgi/u", dir.path().c_str(), display);

  EXPECT_FALSE(updater.Update_Firmware(kSerial, 0, path, 0, 0x0000F00D, false));
  EXPECT_TRUE(Shown(display.Infos(), "Updating from Birdfile: " + path));
  // Without an address the router's network is searched for the module: the router comes first.
  EXPECT_EQ((std::vector<std::string>{"Failed to connect to link module [0000F00D]"}), display.Errors());

  // A file without firmware would reboot the module into nothing.
  std::vector<uint8_t> loaderOnly = birdwriter::EncodeFile(std::vector<birdwriter::Block>{
      birdwriter::AddressedBlock(birdwriter::kLoader, 0x20000000, birdwriter::RandomBytes(40, 1))});
  testsupport::WriteFile(path, std::string(loaderOnly.begin(), loaderOnly.end()));
  display.Clear();
  EXPECT_FALSE(updater.Update_Firmware(kSerial, 0, path, 0, 0, true));
  EXPECT_EQ((std::vector<std::string>{"Birdfile failed validation: holds no firmware"}), display.Errors());

  display.Clear();
  EXPECT_FALSE(updater.Update_Firmware(kSerial, 0, files.file("missing.bird"), 0, 0, false));
  EXPECT_EQ((std::vector<std::string>{"Failed to load bird file " + files.file("missing.bird") +
                                      ": No such file or directory"}),
            display.Errors());
}

// The wait for a rebooted module: 60 s, or whole seconds from the environment; a value
// that is not a number must not turn into no wait at all.
TEST(UpdateFirmware, ReturnTimeoutComesFromTheEnvironment) {
  unsetenv("UPDATER_RETURN_TIMEOUT");
  EXPECT_EQ(60000u, FirmwareUpdate::ReturnTimeoutMs());
  setenv("UPDATER_RETURN_TIMEOUT", "5", 1);
  EXPECT_EQ(5000u, FirmwareUpdate::ReturnTimeoutMs());
  for (const char* bad : {"", "5s", "-1", "99999999999"}) {
    setenv("UPDATER_RETURN_TIMEOUT", bad, 1);
    EXPECT_EQ(60000u, FirmwareUpdate::ReturnTimeoutMs()) << bad;
  }
  unsetenv("UPDATER_RETURN_TIMEOUT");
}
