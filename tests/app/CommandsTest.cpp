// The command dispatch against an Updater double that records calls and
// returns scripted results.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AppTestSupport.h"
#include "Commands.h"

using apptest::CaptureFile;
using apptest::Golden;
using apptest::RecordingDisplay;
using Level = UpdaterDisplayInterface::Level;

namespace {

class UpdaterDouble : public Updater {
public:
  explicit UpdaterDouble(UpdaterDisplayInterface& shown) : Updater("http://127.0.0.1:9/cgi/u", "/nowhere", shown) {}

  std::vector<DeviceInfo> Discover_Devices(linkType type) override {
    calls.push_back("Discover_Devices(" + std::to_string(type) + ")");
    return devices;
  }
  std::vector<DeviceInfo> Discover_KLNetwork_Devices(uint32_t router, linkType type) override {
    calls.push_back("Discover_KLNetwork_Devices(" + Hex(router) + "," + std::to_string(type) + ")");
    return devices;
  }
  BuildListResult List_Builds(uint32_t serial) override {
    calls.push_back("Get_BuildList(" + Hex(serial) + ")");
    BuildListResult result;
    if (buildListFails) {
      display.message(UpdaterDisplayInterface::Error, "Server request failed for %s", serverUrl.c_str());
      return result;
    }
    result.answered = true;
    result.builds = builds;
    return result;
  }
  DownloadResult Download_Build(uint32_t serial, std::string build, bool override) override {
    calls.push_back("Download_Firmware(" + Hex(serial) + "," + build + "," + Flag(override) + ")");
    DownloadResult result;
    result.build = downloadResult;
    return result;
  }
  ModuleOutcome Update_Module(FirmwareUpdate::Route route, uint32_t build, std::string birdFile,
                              bool override) override {
    calls.push_back("Update_Firmware(" + Hex(route.serialNumber) + "," + std::to_string(build) + "," + birdFile + "," +
                    std::to_string(route.moduleAddress) + "," + Hex(route.routerSerialNumber) + "," +
                    Flag(override) + ")");
    ModuleOutcome outcome;
    outcome.succeeded = updateResult;
    return outcome;
  }
  FingerprintOutcome Read_Fingerprint(const std::string& port, unsigned serial, const std::string& birdFile,
                                      unsigned baud, bool reset) override {
    calls.push_back("Read_Fingerprint(" + port + "," + Hex(serial) + "," + birdFile + "," + std::to_string(baud) + "," +
                    Flag(reset) + ")");
    FingerprintOutcome outcome;
    outcome.fingerprint = fingerprint;
    outcome.chipTried = fingerprintTried;
    outcome.read = fingerprintResult;
    return outcome;
  }
  RecoveryOutcome Recover(const std::string& port, unsigned build, unsigned baud, unsigned serial,
                          const std::string& birdFile) override {
    calls.push_back("Recover(" + port + "," + std::to_string(build) + "," + std::to_string(baud) + "," +
                    Hex(serial) + "," + birdFile + ")");
    RecoveryOutcome outcome;
    outcome.module.succeeded = recoverResult;
    return outcome;
  }

  static std::string Hex(uint32_t v) {
    char text[12];
    snprintf(text, sizeof(text), "%X", v);
    return text;
  }
  static std::string Flag(bool b) { return b ? "1" : "0"; }

  std::vector<std::string> calls;
  std::vector<DeviceInfo> devices;
  BuildList builds;
  bool buildListFails = false;
  Fingerprint fingerprint;
  uint32_t downloadResult = 0;
  bool updateResult = false;
  bool fingerprintResult = false;
  bool fingerprintTried = true;
  bool recoverResult = false;
};

class Dispatch : public ::testing::Test {
protected:
  int Run() { return RunCommands(p, updater, display, record, usage.get()); }
  std::vector<std::string> Errors() const { return display.Texts(Level::Error); }
  std::vector<std::string> Infos() const { return display.Texts(Level::Info); }

  Parameters p;
  RecordingDisplay display;
  UpdaterDouble updater{display};
  RunRecord record;
  CaptureFile usage;
};

using V = std::vector<std::string>;

}  // namespace

TEST_F(Dispatch, FingerprintNeedsASerialPortAndFailureIsKeptButNotFatal) {
  p.commands.Set(CMD_FINGERPRINT);
  p.commands.Set(CMD_GET);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Errors(), V{"Must specify the serial port used for connecting"});
  EXPECT_TRUE(updater.calls.empty());  // the run ends before -G

  display.messages.clear();
  p.serialPort = "/dev/ttyUSB0";
  p.birdFile = "rom.bird";
  p.baudRate = 9600;
  p.serialNumber = 0x40F5849A;
  updater.downloadResult = 77;
  EXPECT_EQ(Run(), 1);  // the download succeeded, the fingerprint did not
  // -d names the module whose image brings the i.MX loader.
  EXPECT_EQ(updater.calls, V({"Read_Fingerprint(/dev/ttyUSB0,40F5849A,rom.bird,9600,1)",
                              "Download_Firmware(40F5849A,,0)"}));
  EXPECT_EQ(Errors(), V{"Got no response from chip"});

  // Refused before any chip was asked: the cause's own line is all.
  display.messages.clear();
  updater.calls.clear();
  p.commands = CommandsClass();
  p.commands.Set(CMD_FINGERPRINT);
  p.serialNumber = 0;
  updater.fingerprintTried = false;
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(updater.calls, V({"Read_Fingerprint(/dev/ttyUSB0,DEADDEAD,rom.bird,9600,1)"}));
  EXPECT_EQ(Errors(), V{});
}

TEST_F(Dispatch, FingerprintIsPrintedOnSuccess) {
  p.commands.Set(CMD_FINGERPRINT);
  p.serialPort = "/dev/ttyS1";
  updater.fingerprintResult = true;
  updater.fingerprint.word[0] = 0xA;
  updater.fingerprint.word[3] = 0xFFFFFFFF;
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(display.All(), "[ 0000000A 00000000 00000000 FFFFFFFF ]\n");
}

TEST_F(Dispatch, GetNeedsADeviceAndItsBuildFeedsTheUpdate) {
  p.commands.Set(CMD_GET);
  p.commands.Set(CMD_UPDATE);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Errors(), V({"-G must specify a specific device via -d", "--help for usage information"}));
  EXPECT_TRUE(updater.calls.empty());

  display.messages.clear();
  p.serialNumber = 0x40F5849A;
  p.override = true;
  updater.downloadResult = 99528558;
  updater.updateResult = true;
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Infos(), V({"Retrieving firmware for device with serial number 40F5849A", "No build specified",
                        "Using Latest build"}));
  EXPECT_EQ(updater.calls, V({"Download_Firmware(40F5849A,,1)", "Update_Firmware(40F5849A,99528558,,0,0,1)"}));
  EXPECT_EQ(p.build, "99528558");
}

TEST_F(Dispatch, GetWithBuildTextAndFailedDownload) {
  p.commands.Set(CMD_GET);
  p.serialNumber = 1;
  p.build = "0";  // what -b abc leaves behind: the latest build
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Infos(), V({"Retrieving firmware for device with serial number 00000001", "Retrieving firmware build 0"}));
  EXPECT_EQ(updater.calls, V{"Download_Firmware(1,0,0)"});
  EXPECT_EQ(p.build, "0");

  // A failed download stops -U: no other build is flashed in its place, and the run fails.
  updater.calls.clear();
  display.messages.clear();
  p.commands.Set(CMD_UPDATE);
  p.build = "12";
  updater.updateResult = true;
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(updater.calls, V({"Download_Firmware(1,12,0)"}));
  EXPECT_EQ(Errors(), V{"Download failed; the update was not started"});

  // Nor does a command after it turn the failed download into success.
  updater.calls.clear();
  p.commands = CommandsClass();
  p.commands.Set(CMD_GET);
  p.commands.Set(CMD_BUILDS);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(updater.calls, V({"Download_Firmware(1,12,0)", "Get_BuildList(1)"}));
}

TEST_F(Dispatch, DiscoverTakesPrecedenceAndChoosesTheLinkType) {
  p.commands.Set(CMD_DISCOVER);
  p.commands.Set(CMD_UPDATE);
  p.commands.Set(CMD_BUILDS);
  p.serialNumber = 5;
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(updater.calls, V{"Discover_Devices(1)"});  // plain -D: USB only
  EXPECT_EQ(Infos(), V({"Searching for Kovalink devices", "Discovered Devices: (USB)", "    No devices found.",
                        "No modules found over USB; -t TCPIP searches the network"}));

  // An empty list ends with where the search went and how to search elsewhere.
  const std::string overUsb = "No modules found over USB; -t TCPIP searches the network";
  const std::string behindRouter = "No modules found behind router D272031D";
  struct Case {
    uint32_t transport;
    bool given;
    uint32_t router;
    std::string call;
    std::string heading;
    std::string hint;
  } cases[] = {
      {2, true, 0, "Discover_Devices(2)", "Discovered Devices: (TCPIP)",
       "No modules found over TCPIP; -t USB searches the USB bus"},
      {1, true, 0, "Discover_Devices(1)", "Discovered Devices: (USB)", overUsb},
      {255, true, 0, "Discover_Devices(1)", "Discovered Devices: (USB)", overUsb},  // recovery is no link type
      {1, false, 0xD272031D, "Discover_KLNetwork_Devices(D272031D,0)", "Discovered Devices: (Unknown)", behindRouter},
      {255, true, 0xD272031D, "Discover_KLNetwork_Devices(D272031D,0)", "Discovered Devices: (Unknown)", behindRouter},
      {2, true, 0xD272031D, "Discover_KLNetwork_Devices(D272031D,2)", "Discovered Devices: (TCPIP)", behindRouter},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    updater.calls.clear();
    display.messages.clear();
    p.transport = c.transport;
    p.transportGiven = c.given;
    p.routerSerialNumber = c.router;
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(updater.calls, V{c.call});
    ASSERT_GE(Infos().size(), 2u);
    EXPECT_EQ(Infos()[0], c.router ? "Searching for Kovalink Network devices connected to D272031D"
                                   : "Searching for Kovalink devices");
    EXPECT_EQ(Infos()[1], c.heading);
    EXPECT_EQ(Infos().back(), c.hint);
  }
}

TEST_F(Dispatch, DiscoveryListingShowsTheDevicesFound) {
  p.commands.Set(CMD_DISCOVER);
  p.routerSerialNumber = 0x1234;
  DeviceInfo d;
  d.spec.type = linkTypeUSB;
  d.spec.serialNumber = 0xBEEF;
  d.spec.model = 4;
  d.spec.module = 4;
  updater.devices = {d};
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Infos().back(), "    0000BEEF  04       00      Tavrel         0.0.0 (0)");
  // Without -t the modules behind the router are listed under the router's transport.
  EXPECT_EQ(Infos()[1], "Discovered Devices: (USB)");
  EXPECT_EQ(Infos()[2], "    Device    Module   Router  Model          Firmware Version (Build)");
}

TEST_F(Dispatch, UpdateNeedsADeviceUnlessRecovering) {
  p.commands.Set(CMD_UPDATE);
  p.commands.Set(CMD_BUILDS);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Errors(), V{"Must specify the specific device to be updated"});
  EXPECT_TRUE(updater.calls.empty());

  p.transport = 255;
  p.serialPort = "/dev/ttyS3";
  p.baudRate = 57600;
  p.birdFile = "x.bird";
  p.build = "42";
  EXPECT_EQ(Run(), 1);
  updater.recoverResult = true;
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(updater.calls, V(2, "Recover(/dev/ttyS3,42,57600,0,x.bird)"));

  updater.calls.clear();
  p.transport = 2;
  p.serialNumber = 0x40F5849A;
  p.routerSerialNumber = 0xD272031D;
  p.build = "";
  EXPECT_EQ(Run(), 1);
  updater.updateResult = true;
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(updater.calls, V(2, "Update_Firmware(40F5849A,0,x.bird,0,D272031D,0)"));
  EXPECT_EQ(usage.Contents(), "");
}

TEST_F(Dispatch, BuildsNeedADeviceAndFailWhenTheServerDoes) {
  p.commands.Set(CMD_BUILDS);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Errors(), V{"Error must supply a serial number for the List Builds command"});
  EXPECT_EQ(usage.Contents(), Golden("usage_short.txt"));
  EXPECT_TRUE(updater.calls.empty());

  display.messages.clear();
  p.serialNumber = 0x40F5849A;
  EXPECT_EQ(Run(), 0);  // a module without builds is no failure
  EXPECT_EQ(Infos(), V{"No builds found for device [40F5849A]"});
  // A server that failed: its error stands alone, not as an empty list.
  display.messages.clear();
  updater.buildListFails = true;
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(display.Tagged(), V{"E:Server request failed for http://127.0.0.1:9/cgi/u"});
  updater.buildListFails = false;
  updater.builds = {{"7", "1.9"}, {"8", "1.10"}};
  display.messages.clear();
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Infos().size(), 4u);
  EXPECT_EQ(Infos()[2], "8              \t1.10           ");
}

TEST_F(Dispatch, CommandsWithoutActionReturnTheEarlierResult) {
  p.commands.Set(CMD_Z);
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(updater.calls.empty());
  EXPECT_TRUE(display.messages.empty());

  p.commands.Set(CMD_GET);
  p.serialNumber = 3;
  EXPECT_EQ(Run(), 1);
  updater.downloadResult = 5;
  EXPECT_EQ(Run(), 0);
}
