// The real updater against lab modules on an emulated USB bus: discovery,
// updates through the loader start, re-enumeration and reboot, and USB's own
// faults. Every libusb call the updater makes reaches the emulated devices.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "BirdWriter.h"
#include "JsonSchemaCheck.h"
#include "LabNetwork.h"
#include "UsbLab.h"

using testsupport::ProgramResult;
using usbtest::UsbLab;

namespace {

const std::string kBannerLine = "Updater (Version: 1.1 Jan 21 2023)\n";

typedef std::vector<uint8_t> Bytes;

const char kUsbHeader[] = "    Device    Module   Router  Model          Firmware Version (Build)\n";

std::string UsbLine(const char* serial, int module, const char* model, const char* version, unsigned build) {
  char line[160];
  std::snprintf(line, sizeof(line), "    %s  %02X       %02X      %-12s %s (%u)\n", serial, module, module, model,
                version, build);
  return line;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// 4 KB of firmware carrying its own information block, so the module comes
// back from its reboot with the new build.
Bytes Image(uint32_t build) {
  Bytes image = birdwriter::RandomBytes(4096, build);
  birdwriter::Block info = birdwriter::InfoBlock(build, "1.2.3", 0, "Holvex");
  std::copy(info.content.begin(), info.content.end(), image.begin() + 0x400);
  return image;
}

// A BIRD file made for one Holvex module: a loader and the image at address 0.
std::string WriteBird(const testsupport::TempDir& dir, uint32_t serial, uint32_t build) {
  std::vector<birdwriter::Block> blocks;
  blocks.push_back(birdwriter::InfoBlock(build, "1.2.3", serial, "Holvex"));
  blocks.push_back(birdwriter::AddressedBlock(birdwriter::kLoader, 0x20000000, birdwriter::RandomBytes(300, 7)));
  blocks.push_back(birdwriter::AddressedBlock(birdwriter::kFirmware, 0, Image(build), 2));
  Bytes file = birdwriter::EncodeFile(blocks);
  std::string path = dir.file(std::to_string(build) + ".bird");
  testsupport::WriteFile(path, std::string(file.begin(), file.end()));
  return path;
}

#define SKIP_UNLESS_READY(lab)                          \
  do {                                                  \
    if (!(lab).skipReason().empty())                    \
      GTEST_SKIP() << (lab).skipReason();               \
    ASSERT_EQ((lab).error(), "");                       \
  } while (0)

// The installed schema of the --json document.
nlohmann::json Schema() {
  return nlohmann::json::parse(testsupport::ReadFile(testsupport::SourcePath("packaging/updater-result.schema.json")));
}

}  // namespace

TEST(UsbE2E, PlainDiscoverListsExactlyTheModulesOnTheBus) {
  UsbLab lab({"serial=0000BEEF,model=17,address=4,version=2.1.26,build=1234",
              "serial=40F5849A,model=13,address=6,version=3.0.7,build=99528558",
              "serial=0BADC0DE,model=5,usb-fault=busy",
              // Not modules: a product id with bit 15 set, a serial string of 4 characters.
              "serial=00008011,model=17,usb-pid=0x8011", "serial=0000F00D,model=17,usb-serial-text=F00D"});
  SKIP_UNLESS_READY(lab);
  ProgramResult r = lab.runUpdater({"-D"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  std::string expected = std::string("Searching for Kovalink devices\nDiscovered Devices: (USB)\n") + kUsbHeader;
  EXPECT_TRUE(Has(r.out, expected)) << r.out;
  EXPECT_TRUE(Has(r.out, UsbLine("0000BEEF", 4, "Holvex", "  2.1.26", 1234))) << r.out;
  EXPECT_TRUE(Has(r.out, UsbLine("40F5849A", 6, "Quessa", "  3.0.7", 99528558))) << r.out;
  // Claimed by someone else: listed with the error, not read.
  EXPECT_TRUE(Has(r.out, "    0BADC0DE  [Error (25): Is someone else connected to this device?]\n")) << r.out;
  EXPECT_FALSE(Has(r.out, "00008011")) << r.out;
  EXPECT_FALSE(Has(r.out, "F00D")) << r.out;
  // The busy module was tried, the others never opened.
  EXPECT_EQ(lab.host().traffic(0x0BADC0DE).busyRefusals, 1u);
  EXPECT_EQ(lab.host().traffic(0x00008011).opens, 0u);
  EXPECT_EQ(lab.host().traffic(0x0000F00D).claims, 0u);
  EXPECT_EQ(r.err, kBannerLine);  // piped: the banner goes to stderr
}

TEST(UsbE2E, AModuleThisUserMayNotOpenIsListedAndTheDiscoveryFails) {
  UsbLab lab({"serial=0000BEEF,model=17,build=1234,version=2.1.26"});
  SKIP_UNLESS_READY(lab);
  // The bus as a host without the udev rules shows it: anyone may read what is
  // on it, only root may open a device. (The emulation's own sockets stay open
  // to all, so its preload can serve the user.)
  const std::string root = lab.umockdevDir();
  ASSERT_EQ(std::system(("chmod -R a+rX '" + root + "' && find '" + root + "/ioctl' -type s -exec chmod a+w {} + && find '" +
                         root + "/dev/bus/usb' ! -type d -exec chmod 600 {} +").c_str()),
            0);
  testsupport::TempDir home;
  ASSERT_EQ(chmod(home.path().c_str(), 0777), 0);
  ProgramResult r = lab.runUpdaterAs(54321, home.path(), {"-D"});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, std::string("Discovered Devices: (USB)\n") + kUsbHeader +
                             "    0000BEEF  USB 24FF:0011  permission denied: see the udev rules\n"))
      << r.out;
  EXPECT_FALSE(Has(r.out, "No devices found")) << r.out;
  // Root may open it: read and listed as usual.
  r = lab.runUpdater({"-D"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, UsbLine("0000BEEF", 2, "Holvex", "  2.1.26", 1234))) << r.out;
}

TEST(UsbE2E, UpdateOverUsbRunsThroughTheRebootAndTheModuleComesBackWithTheNewBuild) {
  UsbLab lab({"serial=0000BEEF,model=17,build=1100,reboot-delay=300"});
  SKIP_UNLESS_READY(lab);
  testsupport::TempDir files;
  ProgramResult r = lab.runUpdater({"-U", "-d", "0000BEEF", "-f", WriteBird(files, 0xBEEF, 1234)});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "Transferred 1 blocks, 4100 total bytes")) << r.out;
  // Where the module was reached, before the transfer.
  EXPECT_LT(r.out.find("Module 0000BEEF on USB (bus "), r.out.find("Transferring loader")) << r.out;
  EXPECT_EQ(r.err, kBannerLine);  // piped: the banner goes to stderr
  // The device was gone when the link closed: closing went on, and the user is
  // not shown a failure on a run that succeeded.
  EXPECT_FALSE(Has(r.out, "error release")) << r.out;
  EXPECT_TRUE(lab.host().firmware(0xBEEF) == Image(1234));
  // Left the bus on REBOOT and came back as a new device with the new build.
  ASSERT_TRUE(lab.waitForArrivals(0xBEEF, 2));
  EXPECT_EQ(lab.host().build(0xBEEF), 1234u);
  EXPECT_EQ(lab.host().stats(0xBEEF).reboots, 1u);
  lab::UsbTraffic traffic = lab.host().traffic(0xBEEF);
  EXPECT_GT(traffic.outTransfers, 200u);
  EXPECT_LE(traffic.largestOut, 50u);  // OUT chunks of at most 50 bytes
  EXPECT_EQ(traffic.inRequestSizes, std::set<int>({800}));  // every IN transfer asks for 800
  EXPECT_EQ(traffic.stalls, 0u);

  // Its document says on which bus and device it was reached, as the line did.
  r = lab.runUpdater({"--json", "-U", "-d", "0000BEEF", "-f", WriteBird(files, 0xBEEF, 1234)});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(jsonschema::DocumentProblems(Schema(), r.out), std::vector<std::string>()) << r.out;
  const nlohmann::json place = nlohmann::json::parse(r.out, nullptr, false)["results"][0]["place"];
  ASSERT_TRUE(place.is_object()) << r.out;
  EXPECT_EQ(place["transport"], "USB");
  EXPECT_TRUE(Has(r.err, "Module 0000BEEF on USB (bus " + place["usb_bus"].dump() + ", device " +
                             place["usb_device"].dump() + ")\n"))
      << r.err << r.out;
  ASSERT_TRUE(lab.waitForArrivals(0xBEEF, 3));

  // And a plain -D finds it there with that build.
  r = lab.runUpdater({"-D"});
  EXPECT_TRUE(Has(r.out, UsbLine("0000BEEF", 2, "Holvex", "  1.2.3", 1234))) << r.out;
}

// A loader that confirms LOAD and re-enumerates under its own serial number is
// found again by the update; one that leaves without confirming and comes back
// under 0xDEADDEAD is found by the LOAD reconnection, which confirms it then.
TEST(UsbE2E, LoaderThatRejoinsUnderItsOwnOrTheDefaultSerialIsFoundAgain) {
  UsbLab lab({"serial=0000BEEF,model=17,build=1100,reboot-delay=300,fault=rejoin-after-load",
              "serial=0000CAFE,model=17,build=1100,reboot-delay=300,fault=rejoin-after-load,fault=late-load-reply,"
              "usb-loader-serial=DEADDEAD"});
  SKIP_UNLESS_READY(lab);
  testsupport::TempDir files;
  for (uint32_t serial : {0x0000BEEFu, 0x0000CAFEu}) {
    char text[9];
    std::snprintf(text, sizeof(text), "%08X", serial);
    ProgramResult r = lab.runUpdater({"-U", "-d", text, "-f", WriteBird(files, serial, 1234), "-X", "0x500"});
    ASSERT_EQ(r.exitCode, 0) << text << "\n" << r.out << r.err;
    EXPECT_TRUE(lab.host().firmware(serial) == Image(1234)) << text;
    // Loader start, loader back, reboot, firmware back.
    EXPECT_TRUE(lab.waitForArrivals(serial, 3)) << text;
    EXPECT_EQ(lab.host().build(serial), 1234u) << text;
    EXPECT_EQ(lab.host().serialText(serial), text);
    if (serial == 0x0000CAFE) {
      EXPECT_TRUE(Has(r.err, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: 1 of 5\n"));
      EXPECT_TRUE(Has(r.err, "NETWORK: Loader validated start (Reconnect)\n"));
    }
  }
}

// A stalled endpoint is cleared and the transfer goes on: the update succeeds.
TEST(UsbE2E, StallOnEitherEndpointIsClearedAndTheUpdateGoesOn) {
  UsbLab lab({"serial=0000BEEF,model=17,reboot-delay=200,usb-fault=stall-out@40",
              "serial=0000CAFE,model=17,reboot-delay=200,usb-fault=stall-in@30"});
  SKIP_UNLESS_READY(lab);
  testsupport::TempDir files;
  for (uint32_t serial : {0x0000BEEFu, 0x0000CAFEu}) {
    char text[9];
    std::snprintf(text, sizeof(text), "%08X", serial);
    ProgramResult r = lab.runUpdater({"-U", "-d", text, "-f", WriteBird(files, serial, 1234)});
    EXPECT_EQ(r.exitCode, 0) << text << "\n" << r.out << r.err;
    EXPECT_TRUE(lab.host().firmware(serial) == Image(1234)) << text;
    lab::UsbTraffic traffic = lab.host().traffic(serial);
    EXPECT_EQ(traffic.stalls, 1u) << text;
    EXPECT_GE(traffic.clearHalts, 1u) << text;
  }
}

// An endpoint that stops answering, a device pulled out mid-transfer and an
// interface someone else holds each end the update with a failure, in bounded time.
TEST(UsbE2E, MuteUnpluggedOrBusyDeviceFailsTheUpdateClearly) {
  UsbLab lab({"serial=0000BEEF,model=17,usb-fault=mute@60", "serial=0000CAFE,model=17,usb-fault=unplug@60",
              "serial=0BADC0DE,model=17,usb-fault=busy"});
  SKIP_UNLESS_READY(lab);
  testsupport::TempDir files;
  for (uint32_t serial : {0x0000BEEFu, 0x0000CAFEu, 0x0BADC0DEu}) {
    char text[9];
    std::snprintf(text, sizeof(text), "%08X", serial);
    ProgramResult r = lab.runUpdater({"-U", "-d", text, "-f", WriteBird(files, serial, 1234)});
    EXPECT_EQ(r.exitCode, 1) << text << "\n" << r.out << r.err;
    EXPECT_LT(r.seconds, 30.0) << text;
    std::string failure = serial == 0x0BADC0DE ? std::string("Failed to connect to module [") + text + "]\n"
                                               : std::string("Firmware update of module [") + text + "] failed [24, aErrPacket]\n";
    EXPECT_TRUE(Has(r.err, failure)) << r.err;
  }
  EXPECT_GE(lab.host().traffic(0x0000BEEF).discarded, 1u);  // the host gave up on its transfers
  EXPECT_FALSE(lab.host().onBus(0x0000CAFE));  // pulled out for good
}

namespace {

// Stands in for the boot ROM: records the output reports and answers a
// command report with report 3 (4 bytes) and report 4 (64 bytes).
class RecordingBootRom : public lab::HidReportSink {
public:
  void report(const Bytes& bytes, std::vector<Bytes>& replies) override {
    reports.push_back(bytes);
    if (bytes.empty() || bytes[0] != 1)
      return;
    replies.push_back({3, 0x12, 0x34, 0x56, 0x78});
    Bytes status(65, 0);
    status[0] = 4;
    status[1] = 0x88;
    status[64] = 0x99;
    replies.push_back(status);
  }
  std::vector<Bytes> reports;
};

}  // namespace

// hidapi, through the hidraw backend, finds the device by vendor and product
// id, and every report it writes reaches the lab object; the answers come back
// one report per read.
TEST(UsbE2E, BootRomHidDeviceCarriesReportsBothWays) {
  UsbLab lab({"serial=0000BEEF,model=17"});
  SKIP_UNLESS_READY(lab);
  RecordingBootRom rom;
  std::string error;
  ASSERT_NE(lab.host().plugBootRomHid(rom, error), "") << error;

  std::string command = "01" + std::string(32, '0');
  command.replace(2, 4, "0505");
  std::string data = "02" + std::string(2048, 'A');
  ProgramResult r = lab.run("hid_probe", {"1fc9", "0130", command, data});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "wrote 17\nwrote 1025\n" "0312345678\n" "0488" + std::string(124, '0') + "99\n" "end 0\n");
  // The last read waited out its 500 ms: poll() saw nothing queued any more.
  EXPECT_GE(r.seconds, 0.45);
  ASSERT_EQ(rom.reports.size(), 2u);
  EXPECT_EQ(rom.reports[0].size(), 17u);
  EXPECT_EQ(rom.reports[0][1], 0x05);
  EXPECT_EQ(rom.reports[1].size(), 1025u);
  EXPECT_EQ(rom.reports[1][1024], 0xAA);

  // The module's vendor-id scan does not take the HID device for a module.
  r = lab.runUpdater({"-D"});
  EXPECT_TRUE(Has(r.out, "    0000BEEF  02")) << r.out;
  EXPECT_EQ(r.out.find("1FC9"), std::string::npos);
}

// With the maker's driver holding the interface, the link runs through its
// node /dev/kovalink.XXXXXXXX; discovery still finds the device through libusb.
TEST(UsbE2E, DriverNodeCarriesTheLinkWhenTheDriverHoldsTheDevice) {
  UsbLab lab({"serial=0000BEEF,model=17,build=1100,version=1.1.0,reboot-delay=300,usb-driver-node=yes"});
  SKIP_UNLESS_READY(lab);
  ProgramResult r = lab.runUpdater({"-D"});
  EXPECT_TRUE(Has(r.out, UsbLine("0000BEEF", 2, "Holvex", "  1.1.0", 1100))) << r.out << r.err;

  testsupport::TempDir files;
  r = lab.runUpdater({"-U", "-d", "0000BEEF", "-f", WriteBird(files, 0xBEEF, 1234)});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(lab.host().firmware(0xBEEF) == Image(1234));
  ASSERT_TRUE(lab.waitForArrivals(0xBEEF, 2));
  EXPECT_EQ(lab.host().build(0xBEEF), 1234u);
  EXPECT_GT(lab.host().driverNodeBytes(0xBEEF), 4100u);
  // Nothing went through libusb's claim: the node was taken whenever it existed.
  lab::UsbTraffic traffic = lab.host().traffic(0xBEEF);
  EXPECT_EQ(traffic.busyRefusals, 0u);
  EXPECT_EQ(traffic.outTransfers, 0u);
}

// The USB stream on its own through real libusb: which devices it opens, the
// exact serial-text match, 50-byte OUT chunks and 800-byte IN transfers.
TEST(UsbE2E, UsbStreamOpensTheExactSerialTextAndChunksItsWrites) {
  UsbLab lab({"serial=00008001,model=4,usb-pid=0x8001,usb-serial-text=0001A2B3",
              "serial=00001111,model=4,usb-serial-text=1a2b3", "serial=0001A2B3,model=4"});
  SKIP_UNLESS_READY(lab);
  // An address query, then zeros that start no frame: 120 bytes in one write.
  std::string bytes = "AD00" + std::string(236, '0');
  ProgramResult r = lab.run("usb_stream_probe", {"1A2B3", bytes, "2"});
  EXPECT_EQ(r.out, "open 0\nwrite 0\nread 0 02 00\nclose 0\n") << r.err;
  lab::UsbTraffic traffic = lab.host().traffic(0x1A2B3);
  EXPECT_EQ(traffic.outSizes, std::vector<unsigned>({50, 50, 20}));
  EXPECT_EQ(traffic.inRequestSizes, std::set<int>({800}));
  EXPECT_EQ(traffic.claims, 1u);

  // A search that finds nothing visits every device: product id 0x8001 is
  // never opened, the others are opened, read and closed unclaimed.
  r = lab.run("usb_stream_probe", {"1111"});
  EXPECT_EQ(r.out, "open 3\n");  // aErrNotFound: "1a2b3" is no exact "00001111"
  EXPECT_EQ(lab.host().traffic(0x8001).opens, 0u);
  EXPECT_GE(lab.host().traffic(0x1111).opens, 1u);
  EXPECT_EQ(lab.host().traffic(0x1111).claims, 0u);
  EXPECT_EQ(lab.host().traffic(0x1A2B3).claims, 1u);
}

// The updater-lab usb program: the bus it names serves the updater, SIGTERM
// ends it with its account and its testbed removed, and the testbed of one
// that was killed is removed by the next.
TEST(UsbE2E, LabProgramServesItsBusAndLeavesNothingBehind) {
  testsupport::LabNetwork net;
  if (!net.ok())
    GTEST_SKIP() << net.error();
  auto dirOf = [&net](int lab) {
    std::string out = net.labOutput(lab);
    size_t at = out.find("umockdev-dir ");
    return at == std::string::npos ? std::string() : out.substr(at + 13, out.find('\n', at) - at - 13);
  };
  int killed = net.startLab({"usb", "--module", "serial=0000CAFE,model=13"});
  ASSERT_GE(killed, 0) << net.error();
  std::string killedDir = dirOf(killed);
  net.stopLab(killed, 3000, SIGKILL);
  ASSERT_TRUE(access(killedDir.c_str(), F_OK) == 0);

  int lab = net.startLab({"usb", "--module", "serial=0000BEEF,model=17,build=1234,version=2.1.26"});
  ASSERT_GE(lab, 0) << net.error();
  EXPECT_NE(access(killedDir.c_str(), F_OK), 0) << killedDir << " left behind";
  std::string dir = dirOf(lab);
  testsupport::RunResult r = net.run("/usr/bin/env", {"LD_PRELOAD=libumockdev-preload.so.0", "UMOCKDEV_DIR=" + dir,
                                                      "ASAN_OPTIONS=verify_asan_link_order=0",
                                                      testsupport::BinPath("updater"), "-D"});
  EXPECT_TRUE(Has(r.out, UsbLine("0000BEEF", 2, "Holvex", "  2.1.26", 1234))) << r.out << r.err;
  EXPECT_EQ(net.stopLab(lab), 0);
  EXPECT_TRUE(Has(net.labOutput(lab), "0000BEEF: links 1, requests ")) << net.labOutput(lab);
  EXPECT_TRUE(Has(net.labOutput(lab), ", arrivals 1, ")) << net.labOutput(lab);
  EXPECT_TRUE(Has(net.labOutput(lab), "\nstopped\n"));
  EXPECT_NE(access(dir.c_str(), F_OK), 0) << dir << " left behind";
}
