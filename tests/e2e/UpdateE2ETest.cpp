// The -U command end to end: the updater program against lab modules and the lab server,
// each run inside private network namespaces.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "BirdWriter.h"
#include "LabNetwork.h"
#include "TestSupport.h"

using testsupport::LabNetwork;
using testsupport::RunResult;
using testsupport::TempDir;

namespace {

typedef std::vector<uint8_t> Bytes;

// True when a lab module takes a TCP link on `port` (a module away in its reboot refuses it).
bool TakesLinks(const LabNetwork& net, uint16_t port) {
  testsupport::NetnsScope inside(net.programNamespace());
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, net.labAddress().c_str(), &to.sin_addr);
  bool taken = inside.ok() && fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0;
  if (fd >= 0)
    close(fd);
  return taken;
}

constexpr uint32_t kSerialWordAddress = 0x100;
constexpr uint32_t kDescriptorAddress = 0x200;
constexpr uint32_t kLoaderAddress = 0x20000000;

constexpr uint32_t kImageInfoAddress = 0x400;

// 4 KB of firmware that, like real firmware, carries its own information block.
Bytes Image(uint32_t build) {
  Bytes image = birdwriter::RandomBytes(4096, 0xC0FFEE);
  birdwriter::Block info = birdwriter::InfoBlock(build, "1.2.3", 0, "Holvex");
  std::copy(info.content.begin(), info.content.end(), image.begin() + kImageInfoAddress);
  return image;
}

// A BIRD file of a loader and that image for address 0.
Bytes MakeBird(uint32_t build, uint32_t infoSerial, const std::string& model, bool withOffsets) {
  std::vector<birdwriter::Block> blocks;
  blocks.push_back(birdwriter::InfoBlock(build, "1.2.3", infoSerial, model));
  blocks.push_back(birdwriter::AddressedBlock(birdwriter::kLoader, kLoaderAddress, birdwriter::RandomBytes(300, 7)));
  blocks.push_back(birdwriter::AddressedBlock(birdwriter::kFirmware, 0, Image(build), 2));
  if (withOffsets) blocks.push_back(birdwriter::SerialOffsetsBlock(kSerialWordAddress, kDescriptorAddress));
  return birdwriter::EncodeFile(blocks);
}

// The image as a module must hold it once the serial number is written in.
Bytes Patched(uint32_t serial, uint32_t build = 500) {
  Bytes image = Image(build);
  for (int i = 0; i < 4; i++) image[kSerialWordAddress + i] = uint8_t(serial >> (8 * i));
  char digits[9];
  snprintf(digits, sizeof digits, "%08X", serial);
  for (int i = 0; i < 8; i++) image[kDescriptorAddress + 2 * i] = uint8_t(digits[i]);
  return image;
}

std::string WriteBird(const TempDir& dir, const std::string& name, const Bytes& bytes) {
  std::string path = dir.file(name);
  testsupport::WriteFile(path, std::string(bytes.begin(), bytes.end()));
  return path;
}

std::string Hex(uint32_t serial) {
  char text[9];
  snprintf(text, sizeof text, "%08X", serial);
  return text;
}

std::string Settings(const LabNetwork& net, uint32_t serial) {
  return testsupport::ReadFile(net.storeDir() + "/updater/" + Hex(serial) + "/.settings");
}

std::string Dump(const TempDir& dir, uint32_t serial) { return testsupport::ReadFile(dir.file(Hex(serial) + ".bin")); }

std::string AsText(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Compares without printing kilobytes of binary on a mismatch.
::testing::AssertionResult SameImage(const Bytes& expected, const std::string& actual) {
  if (AsText(expected) == actual) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < expected.size() && at < actual.size() && char(expected[at]) == actual[at]) at++;
  return ::testing::AssertionFailure() << "image of " << actual.size() << " bytes, expected " << expected.size()
                                       << "; first difference at byte " << at;
}

}  // namespace

TEST(UpdateE2E, GetThenUpdateInstallsTheLatestBuild) {
  LabNetwork net;
  if (!net.ok()) GTEST_SKIP() << net.error();
  TempDir catalogue, dumps;
  mkdir(catalogue.file("Holvex").c_str(), 0755);
  WriteBird(catalogue, "Holvex/1100.bird", MakeBird(1100, 0, "Holvex", true));
  WriteBird(catalogue, "Holvex/1234.bird", MakeBird(1234, 0, "Holvex", true));
  int lab = net.startLab({"modules", "--module", "serial=0000BEEF,model=17,port=9000,build=1100,reboot-delay=200", "--dump-dir",
                          dumps.path()});
  ASSERT_GE(lab, 0) << net.error();
  ASSERT_GE(net.startLab({"server", "--catalogue", catalogue.path(), "--device", "0000BEEF:Holvex", "--host",
                          net.labAddress(), "--port", "8080"}),
            0)
      << net.error();
  std::string url = "http://" + net.labAddress() + ":8080/cgi/u";

  RunResult r = net.runUpdater({"-G", "-U", "-d", "0000BEEF", "-u", url});
  ASSERT_EQ(0, r.exitCode) << r.out << r.err;
  // The module was seen back, on its own, running what was sent.
  EXPECT_TRUE(Has(r.out, "Module 0000BEEF now runs 1.2.3 (build 1234)\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "Update time: ")) << r.out;

  EXPECT_TRUE(SameImage(Patched(0x0000BEEF, 1234), Dump(dumps, 0x0000BEEF)));
  std::string settings = Settings(net, 0x0000BEEF);
  EXPECT_TRUE(Has(settings, "LATEST_TRANSFER=1234.bird\n")) << settings;
  EXPECT_TRUE(Has(settings, "LAST_TRANSFER_DATE=")) << settings;
  EXPECT_TRUE(Has(settings, "LATEST_VERIFIED=1234\n")) << settings;
  EXPECT_TRUE(Has(settings, "LAST_VERIFIED_DATE=")) << settings;

  EXPECT_TRUE(testsupport::WaitUntil([&] { return TakesLinks(net, 9000); }, 3000));  // back from its reboot
  net.stopLab(lab);
  EXPECT_TRUE(Has(net.labOutput(lab), "reboots 1, build 1234")) << net.labOutput(lab);
}

TEST(UpdateE2E, UpdateFromFileRecordsThePathAndTheRouterIsLookedForFirst) {
  LabNetwork net;
  if (!net.ok()) GTEST_SKIP() << net.error();
  TempDir files, dumps;
  std::string path = WriteBird(files, "mine.bird", MakeBird(500, 0, "Holvex", true));
  ASSERT_GE(net.startLab({"modules", "--module", "serial=0000CAFE,model=17,port=9000", "--dump-dir", dumps.path()}), 0)
      << net.error();

  // The module has no store entry yet: one is made for the record.
  RunResult r = net.runUpdater({"-U", "-d", "0000CAFE", "-f", path});
  ASSERT_EQ(0, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(Has(Settings(net, 0x0000CAFE), "LATEST_TRANSFER=" + path + "\n"));
  EXPECT_TRUE(SameImage(Patched(0x0000CAFE), Dump(dumps, 0x0000CAFE)));

  // Behind a router that is nowhere the module is not looked for directly.
  r = net.runUpdater({"-U", "-d", "0000CAFE", "-r", "0000F00D", "-f", path});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_TRUE(Has(r.err, "Failed to connect to link module [0000F00D]")) << r.err;

  // A module on neither transport: the user learns where it was searched and what to try.
  r = net.runUpdater({"-U", "-d", "0000BEEF", "-f", path});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_TRUE(Has(r.err, "Failed to connect to module [0000BEEF]: not found over USB or TCP/IP; "
                         "check it with -D (-t TCPIP searches the network)\n"))
      << r.err;
}

// Modules with one fault each, served by one lab process for the whole group.
class UpdateFaultsE2E : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    net = new LabNetwork();
    if (!net->ok()) return;
    files = new TempDir();
    dumps = new TempDir();
    generic = WriteBird(*files, "generic.bird", MakeBird(500, 0, "Holvex", true));
    foreign = WriteBird(*files, "foreign.bird", MakeBird(500, 0x0000BEEF, "Holvex", false));
    std::vector<std::string> args{"modules", "--dump-dir", dumps->path()};
    const char* specs[] = {
        "serial=00000A01,port=9001,fault=short-data",  "serial=00000A02,port=9002,fault=bad-sum",
        "serial=00000A03,port=9003,fault=no-load-reply", "serial=00000A04,port=9004,fault=prepare-status:3",
        "serial=00000A05,port=9005,fault=drop:write@2", "serial=00000A06,port=9006,fault=garbage",
        "serial=00000A07,port=9007,model=18",           "serial=00000A08,port=9008",
        "serial=00000A09,port=9009,fault=late-load-reply",
        "serial=00000A10,port=9010,fault=rejoin-after-load,reboot-delay=1500",
        "serial=00000A11,port=9011,reboot-delay=0",
        "serial=00000A12,port=9012,fault=interleave-address",
        "serial=00000A13,port=9013,fault=interleave-command",
        "serial=00000A14,port=9014,fault=bad-sum@2",
        "serial=00000A16,port=9016,fault=old-build",
        "serial=00000A17,port=9017,fault=never-back",
        "serial=00000A18,port=9018",
        "serial=00000A19,port=9019,fault=no-reply:system",
    };
    for (const char* spec : specs) {
      args.push_back("--module");
      args.push_back(spec);
    }
    lab = net->startLab(args);
  }
  static void TearDownTestSuite() {
    delete net;
    delete files;
    delete dumps;
  }
  void SetUp() override {
    if (!net->ok()) GTEST_SKIP() << net->error();
    ASSERT_GE(lab, 0) << net->error();
  }
  RunResult Update(uint32_t serial, const std::string& file, bool override = false) {
    std::vector<std::string> args{"-U", "-d", Hex(serial), "-f", file};
    if (override) args.push_back("-OVERRIDE");
    return net->runUpdater(args);
  }
  // The same with the wait for the rebooted module cut to `seconds`.
  RunResult UpdateWaitingAtMost(uint32_t serial, const std::string& file, const std::string& seconds) {
    return net->run("/usr/bin/env", {"UPDATER_RETURN_TIMEOUT=" + seconds, testsupport::BinPath("updater"), "-U", "-d",
                                     Hex(serial), "-f", file});
  }
  void ExpectInstalled(uint32_t serial, const RunResult& r) {
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_TRUE(SameImage(Patched(serial), Dump(*dumps, serial)));
    EXPECT_TRUE(Has(Settings(*net, serial), "LATEST_TRANSFER=")) << Settings(*net, serial);
  }
  void ExpectNothingRecorded(uint32_t serial, const RunResult& r) {
    EXPECT_EQ(1, r.exitCode) << r.out << r.err;
    EXPECT_FALSE(Has(Settings(*net, serial), "LATEST_TRANSFER"));
  }

  static LabNetwork* net;
  static TempDir* files;
  static TempDir* dumps;
  static std::string generic, foreign;
  static int lab;
};

LabNetwork* UpdateFaultsE2E::net = nullptr;
TempDir* UpdateFaultsE2E::files = nullptr;
TempDir* UpdateFaultsE2E::dumps = nullptr;
std::string UpdateFaultsE2E::generic;
std::string UpdateFaultsE2E::foreign;
int UpdateFaultsE2E::lab = -1;

TEST_F(UpdateFaultsE2E, ShortAcceptanceIsResent) { ExpectInstalled(0x00000A01, Update(0x00000A01, generic)); }

// The module's answers to earlier sync bursts keep arriving while the host resynchronises;
// the link must still settle and the update go through.
TEST_F(UpdateFaultsE2E, GarbageAtLinkStartIsSurvived) { ExpectInstalled(0x00000A06, Update(0x00000A06, generic)); }

TEST_F(UpdateFaultsE2E, WrongSumFailsAndSaysSoWithoutAnyLogPackage) {
  RunResult r = Update(0x00000A02, generic);
  ExpectNothingRecorded(0x00000A02, r);
  EXPECT_TRUE(Has(r.err, "NETWORK: Unable to validate transfer")) << r.err;
  EXPECT_TRUE(Has(r.err, "Firmware update of module [00000A02] failed [29, aErrInvalidOption]")) << r.err;
  EXPECT_TRUE(Dump(*dumps, 0x00000A02).empty());  // never written, never rebooted
}

TEST_F(UpdateFaultsE2E, LoaderStartedWithoutReplyStillContinues) {
  ExpectInstalled(0x00000A03, Update(0x00000A03, generic));
  ExpectInstalled(0x00000A09, Update(0x00000A09, generic));
}

// The loader takes over with a new link after confirming LOAD; the module is away meanwhile
// and is found again over TCP/IP, the only transport it has.
TEST_F(UpdateFaultsE2E, ModuleThatRejoinsAfterLoadIsFoundAgain) {
  ExpectInstalled(0x00000A10, Update(0x00000A10, generic));
}

TEST_F(UpdateFaultsE2E, RefusedPrepareFails) { ExpectNothingRecorded(0x00000A04, Update(0x00000A04, generic)); }

TEST_F(UpdateFaultsE2E, LinkDroppedMidFirmwareFailsPromptly) {
  auto start = std::chrono::steady_clock::now();
  RunResult r = Update(0x00000A05, generic);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ExpectNothingRecorded(0x00000A05, r);
  EXPECT_TRUE(Has(r.err, "Firmware update of module [00000A05] failed")) << r.err;
  // The first piece was written before the drop: the count says so, not "0 total bytes".
  EXPECT_TRUE(Has(r.out, "Transferred 0 blocks and 260 of the " + std::to_string(4 + Image(500).size()) +
                             " bytes of block 1, 260 total bytes\n"))
      << r.out;
  EXPECT_LT(seconds, 10.0);
}

TEST_F(UpdateFaultsE2E, FileForAnotherModelIsTakenOnlyWithOverrideAndForAnotherModuleNever) {
  // Another model.
  RunResult r = Update(0x00000A07, generic);
  ExpectNothingRecorded(0x00000A07, r);
  EXPECT_TRUE(Has(r.err, "Birdfile failed validation: model Holvex, the module is a Jastre\n")) << r.err;
  ExpectInstalled(0x00000A07, Update(0x00000A07, generic, true));

  // Another serial number, and no offsets to patch ours in: -OVERRIDE skips the model check only.
  for (bool override : {false, true}) {
    r = Update(0x00000A08, foreign, override);
    ExpectNothingRecorded(0x00000A08, r);
    EXPECT_TRUE(Has(r.err, "Birdfile failed validation: made for module 0000BEEF, not 00000A08\n")) << r.err;
  }
  EXPECT_TRUE(Dump(*dumps, 0x00000A08).empty());
}

// A module back at once after REBOOT: the link never looks dropped, yet it was.
TEST_F(UpdateFaultsE2E, ModuleBackAtOnceAfterRebootIsASuccess) {
  auto start = std::chrono::steady_clock::now();
  RunResult r = Update(0x00000A11, generic);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ExpectInstalled(0x00000A11, r);
  EXPECT_LT(seconds, 15.0);
}

// A stray packet before every reply: the strays must not push the real replies out.
TEST_F(UpdateFaultsE2E, StrayPacketsBeforeEveryReplyDoNotStarveTheReplies) {
  ExpectInstalled(0x00000A12, Update(0x00000A12, generic));
  ExpectInstalled(0x00000A13, Update(0x00000A13, generic));
}

// The first firmware block fails its sum: the second is never sent, and the message names the first.
TEST_F(UpdateFaultsE2E, FailedBlockEndsTheTransfer) {
  std::vector<birdwriter::Block> blocks;
  blocks.push_back(birdwriter::InfoBlock(500, "1.2.3", 0, "Holvex"));
  blocks.push_back(birdwriter::AddressedBlock(birdwriter::kLoader, kLoaderAddress, birdwriter::RandomBytes(300, 7)));
  blocks.push_back(birdwriter::AddressedBlock(birdwriter::kFirmware, 0, Image(500), 2));
  blocks.push_back(birdwriter::AddressedBlock(birdwriter::kFirmware, 0x1000, birdwriter::RandomBytes(64, 9), 2));
  blocks.push_back(birdwriter::SerialOffsetsBlock(kSerialWordAddress, kDescriptorAddress));
  std::string twoBlocks = WriteBird(*files, "two.bird", birdwriter::EncodeFile(blocks));
  RunResult r = Update(0x00000A14, twoBlocks);
  ExpectNothingRecorded(0x00000A14, r);
  EXPECT_TRUE(Has(r.out, "Transferring firmware block 1 of 2")) << r.out;
  EXPECT_FALSE(Has(r.out, "Transferring firmware block 2 of 2")) << r.out;
  EXPECT_TRUE(Has(r.err, "Transfer of firmware block 1 of 2 failed")) << r.err;
  EXPECT_TRUE(Dump(*dumps, 0x00000A14).empty());
}

// Files that cannot give the module a working image are refused before it is touched, with a reason.
TEST_F(UpdateFaultsE2E, UnusableImagesAreRefusedWithAReason) {
  std::vector<birdwriter::Block> empty;
  empty.push_back(birdwriter::InfoBlock(500, "1.2.3", 0, "Holvex"));
  empty.push_back(birdwriter::AddressedBlock(birdwriter::kLoader, kLoaderAddress, birdwriter::RandomBytes(300, 7)));
  empty.push_back(birdwriter::AddressedBlock(birdwriter::kFirmware, 0x10000, {}));
  // No module answers as 00000A15: these files must be refused before any connection.
  RunResult r = Update(0x00000A15, WriteBird(*files, "empty.bird", birdwriter::EncodeFile(empty)));
  ExpectNothingRecorded(0x00000A15, r);
  EXPECT_TRUE(Has(r.err, "Birdfile failed validation: holds no firmware\n")) << r.err;
  EXPECT_FALSE(Has(r.out, "Transferred")) << r.out;

  std::vector<birdwriter::Block> outside;
  outside.push_back(birdwriter::InfoBlock(500, "1.2.3", 0, "Holvex"));
  outside.push_back(birdwriter::AddressedBlock(birdwriter::kFirmware, 0, Image(500)));
  outside.push_back(birdwriter::SerialOffsetsBlock(0, 0x100000));
  r = Update(0x00000A15, WriteBird(*files, "outside.bird", birdwriter::EncodeFile(outside)));
  ExpectNothingRecorded(0x00000A15, r);
  EXPECT_TRUE(Has(r.err, "Unable to modify serial number in bird file")) << r.err;
}

// The reboot is not the end: the module must come back and run what was sent.
TEST_F(UpdateFaultsE2E, ModuleBackWithItsOldBuildFailsAndASecondUpdateIsVerified) {
  RunResult r = Update(0x00000A16, generic);
  EXPECT_EQ(1, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(Has(r.err, "Module [00000A16] came back running build 1, not the transferred build 500")) << r.err;
  EXPECT_FALSE(Has(r.out, "now runs")) << r.out;
  std::string settings = Settings(*net, 0x00000A16);
  EXPECT_TRUE(Has(settings, "LATEST_TRANSFER=" + generic + "\n")) << settings;  // it was transferred
  EXPECT_FALSE(Has(settings, "LATEST_VERIFIED")) << settings;                    // but never seen running

  // The knob fires on the first reboot only: this time the new image boots.
  r = Update(0x00000A16, generic);
  EXPECT_EQ(0, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "Module 00000A16 now runs 1.2.3 (build 500)\n")) << r.out;
  EXPECT_TRUE(Has(Settings(*net, 0x00000A16), "LATEST_VERIFIED=500\n"));
}

TEST_F(UpdateFaultsE2E, ModuleThatNeverComesBackFailsWhenTheWaitRunsOut) {
  auto start = std::chrono::steady_clock::now();
  RunResult r = UpdateWaitingAtMost(0x00000A17, generic, "2");
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(1, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(Has(r.err, "Module [00000A17] did not come back within 2 s of its reboot.")) << r.err;
  EXPECT_TRUE(Has(r.err, "-U -t RECOVER")) << r.err;
  EXPECT_TRUE(SameImage(Patched(0x00000A17), Dump(*dumps, 0x00000A17)));  // the image did go in
  EXPECT_FALSE(Has(Settings(*net, 0x00000A17), "LATEST_VERIFIED"));
  EXPECT_LT(seconds, 15.0);
}

namespace {

int UpdaterMentioning(const std::string& text) {
  return testsupport::ProcessMentioning(testsupport::BinPath("updater"), text);
}

}  // namespace

// Ctrl-C before anything was sent: the module keeps its firmware, and the same -U updates it.
TEST_F(UpdateFaultsE2E, InterruptBeforeTheTransferLeavesTheModuleAsItWas) {
  // The module leaves its first identity request unanswered: the check takes over a second.
  std::thread interrupter([&] {
    int pid = 0;
    testsupport::WaitUntil([&] { return (pid = UpdaterMentioning(generic)) > 0; }, 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (pid > 0) kill(pid, SIGINT);
  });
  RunResult r = Update(0x00000A19, generic);
  interrupter.join();
  EXPECT_EQ(128 + SIGINT, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(Has(r.err, "Update of module [00000A19] interrupted before its firmware was written: it keeps its "
                         "old firmware. Run the same -U command again to update it.\n"))
      << r.err;
  EXPECT_FALSE(Has(r.out, "Transferring")) << r.out;
  EXPECT_TRUE(Dump(*dumps, 0x00000A19).empty());

  r = Update(0x00000A19, generic);
  EXPECT_EQ(0, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "Module 00000A19 now runs 1.2.3 (build 500)\n")) << r.out;
}

// Ctrl-C mid-firmware: the transfer stops between pieces, says what to do next, and doing it works.
TEST_F(UpdateFaultsE2E, InterruptedTransferSaysWhereTheModuleIsAndTheSameUpdateFinishesIt) {
  // 64 KB of firmware: long enough to be caught in the middle.
  std::vector<birdwriter::Block> blocks;
  blocks.push_back(birdwriter::InfoBlock(700, "1.2.3", 0, "Holvex"));
  blocks.push_back(birdwriter::AddressedBlock(birdwriter::kLoader, kLoaderAddress, birdwriter::RandomBytes(300, 7)));
  Bytes image = birdwriter::RandomBytes(65536, 11);
  birdwriter::Block info = birdwriter::InfoBlock(700, "1.2.3", 0, "Holvex");
  std::copy(info.content.begin(), info.content.end(), image.begin() + kImageInfoAddress);
  blocks.push_back(birdwriter::AddressedBlock(birdwriter::kFirmware, 0, image, 2));
  blocks.push_back(birdwriter::SerialOffsetsBlock(kSerialWordAddress, kDescriptorAddress));
  std::string big = WriteBird(*files, "big.bird", birdwriter::EncodeFile(blocks));

  bool signalled = false;
  std::thread interrupter([&] {
    // The first WRITE has landed: the firmware is on its way.
    if (!testsupport::WaitUntil([&] { return !Dump(*dumps, 0x00000A18).empty(); }, 20000)) return;
    int pid = UpdaterMentioning(big);
    signalled = pid > 0 && kill(pid, SIGINT) == 0;
  });
  auto start = std::chrono::steady_clock::now();
  RunResult r = Update(0x00000A18, big);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  interrupter.join();
  ASSERT_TRUE(signalled) << r.out << r.err;
  EXPECT_EQ(128 + SIGINT, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(Has(r.err, "Update of module [00000A18] interrupted: it may wait in its loader without complete "
                         "firmware. Run the same -U command again to finish the update.\n"))
      << r.err;
  EXPECT_FALSE(Has(r.err, "failed")) << r.err;
  EXPECT_FALSE(Has(r.out, "Update time")) << r.out;
  EXPECT_LT(seconds, 20.0);
  std::string partial = Dump(*dumps, 0x00000A18);
  EXPECT_GT(partial.size(), 0u);
  EXPECT_LT(partial.size(), image.size());  // stopped part way
  EXPECT_FALSE(Has(Settings(*net, 0x00000A18), "LATEST_TRANSFER"));

  r = Update(0x00000A18, big);
  EXPECT_EQ(0, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "Module 00000A18 now runs 1.2.3 (build 700)\n")) << r.out;
  Bytes patched = image;
  for (int i = 0; i < 4; i++) patched[kSerialWordAddress + i] = uint8_t(0x00000A18 >> (8 * i));
  for (int i = 0; i < 8; i++) patched[kDescriptorAddress + 2 * i] = uint8_t("00000A18"[i]);
  EXPECT_TRUE(SameImage(patched, Dump(*dumps, 0x00000A18)));
}
