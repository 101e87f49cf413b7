#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "AppTestSupport.h"
#include "FleetTable.h"
#include "Listings.h"
#include "Usage.h"

using apptest::CaptureFile;
using apptest::Golden;
using apptest::RecordingDisplay;

namespace {

DeviceInfo Device(linkType type, uint32_t serial, uint32_t model, int32_t error = 0) {
  DeviceInfo d;
  d.spec.type = type;
  d.spec.serialNumber = serial;
  d.spec.module = 2;
  d.spec.router = 0x0A;
  d.spec.model = model;
  d.major = 1;
  d.minor = 4;
  d.patch = 12;
  d.build = 3000000001u;  // above INT32_MAX: must print unsigned
  d.error = error;
  return d;
}

std::string DeviceList(const std::vector<DeviceInfo>& devices, uint32_t type) {
  RecordingDisplay display;
  cli::_display_device_list(display, devices, type);
  return display.All();
}

std::string Builds(const BuildList& builds, uint32_t serial) {
  RecordingDisplay display;
  cli::_display_builds(display, builds, serial);
  return display.All();
}

}  // namespace

TEST(Listings, DeviceListPerLinkType) {
  RecordingDisplay usb;
  cli::_display_device_list(usb, {Device(linkTypeUSB, 0x40F5849A, 13), Device(linkTypeUSB, 0xABC, 6, aErrBusy)}, 1);
  EXPECT_EQ(usb.All(),
            "Discovered Devices: (USB)\n"
            "    Device    Module   Router  Model          Firmware Version (Build)\n"
            "    40F5849A  02       0A      Quessa         1.4.12 (3000000001)\n"
            "    00000ABC  [Error (5): Is someone else connected to this device?]\n");
  EXPECT_TRUE(usb.Texts(UpdaterDisplayInterface::Error).empty());

  // A TCP/IP record shows its address; one that could not be read shows its error instead.
  DeviceInfo remote = Device(linkTypeTCPIP, 0xD272031D, 24);
  remote.spec.address = inet_addr("10.77.1.2");
  remote.major = 12;
  DeviceInfo refused = Device(linkTypeTCPIP, 0x0BADC0DE, 5, aErrConnection);
  refused.spec.address = inet_addr("10.77.1.2");
  EXPECT_EQ(DeviceList({remote, refused}, 2),
            "Discovered Devices: (TCPIP)\n"
            "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]\n"
            "    D272031D  02       0A      Rindle        12.4.12 (3000000001) [10.77.1.2]\n"
            "    0BADC0DE  [Error (25): Is someone else connected to this device?]\n");

  EXPECT_EQ(DeviceList({}, 0), "Discovered Devices: (Unknown)\n    No devices found.\n");
  // A module seen but not to be opened is listed with the reason, never left out.
  UnopenableModule denied;
  denied.serialNumber = 0xBEEF;
  denied.vendor = 0x24FF;
  denied.product = 0x0011;
  RecordingDisplay withDenied;
  cli::_display_device_list(withDenied, {}, 1, {denied});
  EXPECT_EQ(withDenied.All(), "Discovered Devices: (USB)\n"
                              "    Device    Module   Router  Model          Firmware Version (Build)\n"
                              "    0000BEEF  USB 24FF:0011  permission denied: see the udev rules\n");
  // Modules found behind a router without -t: the heading names the router's transport.
  EXPECT_EQ(DeviceList({remote}, 0).substr(0, 31), "Discovered Devices: (TCPIP)\n   ");
  EXPECT_EQ(DeviceList({Device(linkTypeUSB, 0xABC, 13)}, 0),
            "Discovered Devices: (USB)\n"
            "    Device    Module   Router  Model          Firmware Version (Build)\n"
            "    00000ABC  02       0A      Quessa         1.4.12 (3000000001)\n");
}

TEST(Listings, BuildsSortByVersionTextAndAreCutToFifteen) {
  BuildList builds = {{"300", "1.9"}, {"200", "1.10"}, {"1234567890123456789", "2.0.0-long-version-text"}};
  EXPECT_EQ(Builds(builds, 0x1A),
            "Build List for device [0000001A]:\n\n"
            "Build          \tVersion        \n"
            "200            \t1.10           \n"
            "300            \t1.9            \n"
            "123456789012345\t2.0.0-long-vers\n");

  EXPECT_EQ(Builds({}, 0x40F5849A), "No builds found for device [40F5849A]\n");
}

TEST(Listings, FingerprintWordsInOrder) {
  RecordingDisplay display;
  Fingerprint fp;
  fp.word[0] = 0x1;
  fp.word[1] = 0xDEADBEEF;
  fp.word[2] = 0;
  fp.word[3] = 0x00ABCDEF;
  cli::_display_fingerprint(display, fp);
  EXPECT_EQ(display.All(), "[ 00000001 DEADBEEF 00000000 00ABCDEF ]\n");
}

TEST(Usage, TextsMatchTheHandWrittenCopies) {
  struct Case {
    bool extended, help;
    std::string expected;
  } cases[] = {
      {false, false, Golden("usage_short.txt")},
      {true, false, Golden("usage_short.txt")},
      {false, true, Golden("usage_short.txt") + Golden("usage_parameters.txt") + Golden("usage_samples.txt")},
      {true, true,
       Golden("usage_short.txt") + Golden("usage_parameters.txt") + Golden("usage_extended.txt") +
           Golden("usage_samples.txt")},
  };
  for (const Case& c : cases) {
    CaptureFile out;
    cli::_display_usage(c.extended, c.help, out.get());
    EXPECT_EQ(out.Contents(), c.expected) << c.extended << c.help;
  }
}

TEST(Usage, BannerLinesGoThroughTheDisplayAndRespectMuting) {
  RecordingDisplay display;
  cli::_display_app_version(display);
  cli::_display_copyright(display);
  cli::_display_kl_version(display);
  EXPECT_EQ(display.All(), Golden("banner_full.txt"));
  display.mute_messages(true);
  cli::_display_app_version(display);
  EXPECT_EQ(display.messages.size(), 3u);
}

TEST(FleetTable, ARowFitsTheTerminalItIsShownOn) {
  ModuleOutcome done;
  done.serialNumber = 0xD00D;
  done.model = "Tavrel";
  done.buildBefore = 3100;
  done.buildAfter = 3120;
  done.succeeded = true;
  done.seconds = 3.4;
  ModuleOutcome failed = done;
  failed.serialNumber = 0xCAFE;
  failed.succeeded = false;
  failed.buildAfter = 0;
  failed.error = aErrPacket;
  failed.errorText = "Firmware update of module [0000CAFE] failed [24, aErrPacket]";
  const std::string result = "FAILED: " + failed.errorText;

  // At 80 columns the result continues under its own column, broken at blanks.
  std::vector<std::string> lines = cli::_fleet_table({done, failed}, 80);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[1], "0000D00D  Tavrel         3100 -> 3120             3.4 s  updated");
  std::string joined;
  for (size_t i = 2; i < lines.size(); i++) {
    EXPECT_LE(lines[i].size(), 79u) << lines[i];
    const std::string piece = lines[i].substr(i == 2 ? 57 : 0);
    if (i > 2) {
      EXPECT_EQ(piece.substr(0, 57), std::string(57, ' ')) << lines[i];
      joined += " ";
    }
    joined += i == 2 ? piece : piece.substr(57);
  }
  EXPECT_EQ(lines[2].substr(0, 57), "0000CAFE  Tavrel         3100 -> -                3.4 s  ");
  EXPECT_EQ(joined, result);

  // Without a terminal (0), each module keeps one row, however long.
  lines = cli::_fleet_table({done, failed}, 0);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], "0000CAFE  Tavrel         3100 -> -                3.4 s  " + result);
}
