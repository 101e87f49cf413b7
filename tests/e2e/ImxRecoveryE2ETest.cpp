// The lab i.MX RT1050 chip on the emulated USB bus: its boot ROM's HID framing
// as hidapi sees it, the recovery loader it starts joining the bus, and the
// real updater's -N and -U -t RECOVER through the ROM's HID device and its pty.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BirdWriter.h"
#include "rom/ImxChip.h"
#include "rom/ImxUartPort.h"
#include "LabServerSupport.h"
#include "ResultDocument.h"
#include "UsbLab.h"

using testsupport::ProgramResult;
using usbtest::UsbLab;

namespace {

// Piped, the banner goes to stderr ahead of any message.
const std::string kBannerLine = "Updater (Version: 1.1 Jan 21 2023)\n";

typedef std::vector<uint8_t> Bytes;

#define SKIP_UNLESS_READY(lab)            \
  do {                                    \
    if (!(lab).skipReason().empty())      \
      GTEST_SKIP() << (lab).skipReason(); \
    ASSERT_EQ((lab).error(), "");         \
  } while (0)

std::string Hex(const Bytes& bytes) {
  std::string out;
  char two[3];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof(two), "%02X", b);
    out += two;
  }
  return out;
}

// Report 1: an SDP command block.
std::string CommandReport(uint16_t code, uint32_t address, uint8_t format, uint32_t count) {
  Bytes c = {1,       uint8_t(code >> 8),     uint8_t(code),          uint8_t(address >> 24), uint8_t(address >> 16),
             uint8_t(address >> 8), uint8_t(address), format, uint8_t(count >> 24), uint8_t(count >> 16),
             uint8_t(count >> 8),   uint8_t(count)};
  c.resize(17, 0);
  return Hex(c);
}

// A 16-byte SDP command block as the UART carries it.
Bytes SdpCommand(uint16_t code, uint32_t address, uint8_t format, uint32_t count) {
  Bytes c = {uint8_t(code >> 8),     uint8_t(code),         uint8_t(address >> 24), uint8_t(address >> 16),
             uint8_t(address >> 8),  uint8_t(address),      format,                 uint8_t(count >> 24),
             uint8_t(count >> 16),   uint8_t(count >> 8),   uint8_t(count)};
  c.resize(16, 0);
  return c;
}

// Report 4 as hidapi reads it: the ID and 64 bytes, `word` little-endian first.
std::string ResponseReport(uint32_t word) {
  return "04" + Hex({uint8_t(word), uint8_t(word >> 8), uint8_t(word >> 16), uint8_t(word >> 24)}) +
         std::string(120, '0') + "\n";
}

bool WaitFor(const std::function<bool()>& done, int timeoutMs = 3000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

const uint32_t kModule = 0x0000B1C0;
const uint32_t kDefault = 0xDEADDEAD;
const uint32_t kNewBuild = 2200;
// The chip's identity in option 39's subindex order; -N shows it the other way round.
const uint32_t kIdentity[4] = {0x1A2B3C4D, 0x5E6F7081, 0x92A3B4C5, 0xD6E7F809};
const char kFingerprint[] = "[ D6E7F809 92A3B4C5 5E6F7081 1A2B3C4D ]\n";

std::string WriteBird(const std::string& path, const std::vector<birdwriter::Block>& blocks) {
  Bytes file = birdwriter::EncodeFile(blocks);
  testsupport::WriteFile(path, std::string(file.begin(), file.end()));
  return path;
}

// A lab loader of `loaderBytes`, started at the default address, joining the bus under `serial`.
birdwriter::Block LoaderBlock(uint32_t loaderBytes, uint32_t serial = kDefault) {
  lab::ImxLabLoader loader;
  loader.serial = serial;
  Bytes code(0x400, 0);
  Bytes header = loader.encode(loaderBytes - 0x400 - lab::ImxLabLoader::kHeaderSize);
  code.insert(code.end(), header.begin(), header.end());
  return birdwriter::AddressedBlock(birdwriter::kLoader, 0x20000000, code);
}

// The update server's catalogue: the default recovery image (a 3000-byte lab
// loader, started at the default address) under 0xDEADDEAD, and build 2200
// for the module, its firmware carrying its information block.
std::string MakeCatalogue(const testsupport::TempDir& dir, uint32_t loaderBytes) {
  std::string root = dir.file("catalogue");
  std::string model = root + "/Orrin";
  mkdir(root.c_str(), 0755);
  mkdir(model.c_str(), 0755);
  // A recovery image holds the loader alone; the download must take it.
  WriteBird(model + "/900.bird", {birdwriter::InfoBlock(900, "0.9.0", kDefault, "Orrin"), LoaderBlock(loaderBytes)});
  Bytes image = birdwriter::RandomBytes(6000, 22);
  birdwriter::Block info = birdwriter::InfoBlock(kNewBuild, "2.2.0", kModule, "Orrin");
  std::copy(info.content.begin(), info.content.end(), image.begin() + 0x400);
  WriteBird(model + "/2200.bird", {info, birdwriter::AddressedBlock(birdwriter::kFirmware, 0x60000000, image)});
  return root;
}

// A USB lab with an i.MX chip whose ROM sits on the HID device and a pty, and
// the lab update server.
class ImxRecoveryE2E : public ::testing::Test {
protected:
  void Start(const lab::ImxRomOptions& rom = lab::ImxRomOptions(),
             const lab::ImxUartOptions& line = lab::ImxUartOptions(), uint32_t loaderBytes = 3000,
             bool strict = false) {
    lab_.reset(new UsbLab({}));
    if (!lab_->skipReason().empty())
      GTEST_SKIP() << lab_->skipReason();
    ASSERT_EQ(lab_->error(), "");
    lab::ImxChipOptions options;
    options.rom = rom;
    options.strict = strict;
    std::copy(kIdentity, kIdentity + 4, options.rom.identity);
    chip_.reset(new lab::ImxChip(options, &lab_->host()));
    std::string error;
    ASSERT_NE(lab_->host().plugBootRomHid(*chip_, error), "") << error;
    uart_.reset(new lab::ImxUartPort(*chip_, line));
    ASSERT_TRUE(uart_->start("", error)) << error;
    char fix[96];
    std::snprintf(fix, sizeof(fix), "%08X:%08X:%08X:%08X:%08X:%u", kIdentity[3], kIdentity[2], kIdentity[1],
                  kIdentity[0], kModule, kNewBuild);
    server_.reset(new testsupport::LabServerProcess({"--catalogue", MakeCatalogue(work_, loaderBytes), "--device",
                                                     "DEADDEAD:Orrin:900", "--device", "0000B1C0:Orrin:2200", "--fix",
                                                     fix}));
    ASSERT_TRUE(server_->ok());
  }
  void TearDown() override {
    if (uart_)
      uart_->stop();
    server_.reset();
    lab_.reset();  // the bus goes before the chip its HID device reports to
  }
  ProgramResult Updater(std::vector<std::string> args) {
    args.push_back("-u");
    args.push_back(server_->url());
    return lab_->runUpdater(args);
  }
  // What a run interrupted after the jump leaves: a lab loader in RAM, started
  // and on the bus, and a boot ROM that answers nothing more. Sent through the
  // chip's UART framing, not through the updater.
  void LeaveALoaderRunning() {
    Bytes image = lab::ImxLabLoader().encode(1024);
    Bytes reply;
    Bytes write = SdpCommand(0x0404, 0x20000400, 0x20, uint32_t(image.size()));
    write.insert(write.end(), image.begin(), image.end());
    chip_->uart(write.data(), write.size(), reply);
    Bytes jump = SdpCommand(0x0B0B, 0x20000400, 0, 0);
    chip_->uart(jump.data(), jump.size(), reply);
    ASSERT_EQ(chip_->state(), lab::ImxRom::State::Running) << Account();
    ASSERT_TRUE(WaitFor([&] { return lab_->host().onBus(kDefault); })) << "the loader did not join the bus";
  }
  size_t Count(const std::string& prefix) const {
    size_t n = 0;
    for (const std::string& line : chip_->account())
      n += line.compare(0, prefix.size(), prefix) == 0;
    return n;
  }
  std::string Account() const {
    std::string text;
    for (const std::string& line : chip_->account())
      text += line + "\n";
    return text;
  }

  testsupport::TempDir work_;
  std::unique_ptr<UsbLab> lab_;
  std::unique_ptr<lab::ImxChip> chip_;
  std::unique_ptr<lab::ImxUartPort> uart_;
  std::unique_ptr<testsupport::LabServerProcess> server_;
};

}  // namespace

// hidapi reads the security word as report 3 and every response as report 4;
// the loader written through report 2 and started by the jump joins the bus
// and the module listing shows it under the serial number it announces.
TEST(ImxLab, HidFramingLoadsAndStartsTheLoaderWhichJoinsTheBus) {
  UsbLab lab({});
  SKIP_UNLESS_READY(lab);
  lab::ImxChipOptions options;
  options.rom.identity[1] = 0xC0FFEE11;
  lab::ImxChip chip(options, &lab.host());
  std::string error;
  ASSERT_NE(lab.host().plugBootRomHid(chip, error), "") << error;

  lab::ImxLabLoader loader;
  loader.serial = 0x0BADF00D;
  Bytes image = loader.encode(1500);
  ProgramResult r = lab.run(
      "hid_probe", {"1fc9", "0130", CommandReport(0x0505, 0, 0, 0), CommandReport(0x0101, 0x401F4420, 0x20, 4),
                    CommandReport(0x0404, 0x20000000, 0x20, uint32_t(image.size())),
                    "02" + Hex(Bytes(image.begin(), image.begin() + 1024)),
                    "02" + Hex(Bytes(image.begin() + 1024, image.end())), CommandReport(0x0B0B, 0x20000000, 0, 0)});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  const std::string security = "0356787856\n";
  EXPECT_EQ(r.out, "wrote 17\nwrote 17\nwrote 17\nwrote 1025\nwrote " + std::to_string(image.size() - 1024 + 1) +
                       "\nwrote 17\n" + security + ResponseReport(0xF0F0F0F0) + security + ResponseReport(0xC0FFEE11) +
                       security + ResponseReport(0x88888888) + security + "end 0\n");
  std::vector<uint8_t> ram;
  ASSERT_TRUE(chip.readRam(0x20000000, uint32_t(image.size()), ram));
  EXPECT_TRUE(ram == image);
  EXPECT_TRUE(WaitFor([&] { return lab.host().onBus(0x0BADF00D); })) << "the loader did not join the bus";
  r = lab.runUpdater({"-D", "-t", "USB"});
  EXPECT_NE(r.out.find("    0BADF00D  02"), std::string::npos) << r.out << r.err;
}

// -N on a chip unknown to the store: the default recovery image is fetched,
// its 3000-byte loader written as one write-file in data reports of 1024,
// 1024 and 952 bytes and started; the loader's
// identifier words come out in reverse subindex order, and the loader is reset
// at the end (the ROM answers again). Then the same through the pty, with the
// image now in the store.
TEST_F(ImxRecoveryE2E, FingerprintOverHidAndOverThePty) {
  Start();
  ProgramResult r = Updater({"-N", "-s", "USB"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(kFingerprint), std::string::npos) << r.out << r.err;
  EXPECT_EQ(Count("write-file 0x20000000 3000"), 1u) << Account();
  EXPECT_EQ(chip_->dataReports(), (std::vector<size_t>{1024, 1024, 952}));
  EXPECT_EQ(Count("jump 0x20000400 loader"), 1u) << Account();
  EXPECT_TRUE(WaitFor([&] { return chip_->state() == lab::ImxRom::State::Idle; })) << "the loader was not reset";
  EXPECT_FALSE(lab_->host().onBus(kDefault));
  EXPECT_EQ(lab_->host().stats(kDefault).reboots, 1u);

  r = Updater({"-N", "-s", uart_->path()});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(kFingerprint), std::string::npos) << r.out << r.err;
  EXPECT_EQ(Count("jump 0x20000400 loader"), 2u) << Account();
  EXPECT_TRUE(WaitFor([&] { return chip_->state() == lab::ImxRom::State::Idle; })) << "the loader was not reset";
}

// -U -t RECOVER: fingerprint with the loader left running, the server names
// the module and build, the firmware goes in through the loader's upgrade
// protocol, and the module comes back under its own serial number running it.
TEST_F(ImxRecoveryE2E, RecoverOverHidUntilTheModuleRunsTheNewFirmware) {
  Start();
  ProgramResult r = Updater({"-U", "-t", "RECOVER", "-s", "USB"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  // Success is claimed only once the module answers under its own serial number with the build sent.
  EXPECT_NE(r.out.find("Module 0000B1C0 now runs 2.2.0 (build 2200)\n"), std::string::npos) << r.out << r.err;
  EXPECT_EQ(lab_->host().build(kModule), kNewBuild);
  EXPECT_EQ(chip_->firmwareSerial(), kModule);
  EXPECT_TRUE(lab_->host().onBus(kModule));
}

// --json: -N alone is a "fingerprint" document with the chip and its words in
// the order the line shows them; a recovery's result is the module as it came
// back, with the chip, its fingerprint, the build written and the return that proved it.
TEST_F(ImxRecoveryE2E, JsonNamesTheChipItsFingerprintAndTheModuleAsItCameBack) {
  using nlohmann::json;
  const json words = {"D6E7F809", "92A3B4C5", "5E6F7081", "1A2B3C4D"};
  Start();
  ProgramResult r = Updater({"--json", "-N", "-s", "USB"});
  json d = testsupport::ResultDocument(r.out, r.exitCode);
  EXPECT_EQ(d["command"], "fingerprint") << r.out;
  EXPECT_EQ(d["fingerprint"], json({{"chip", "imx"}, {"read", true}, {"words", words}})) << r.out << r.err;
  ASSERT_TRUE(WaitFor([&] { return chip_->state() == lab::ImxRom::State::Idle; })) << "the loader was not reset";

  r = Updater({"--json", "-U", "-t", "RECOVER", "-s", "USB"});
  d = testsupport::ResultDocument(r.out, r.exitCode);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  ASSERT_EQ(d["results"].size(), 1u) << r.out;
  const json& result = d["results"][0];
  EXPECT_EQ(result["serial"], "0000B1C0");
  EXPECT_EQ(result["model"], "Holvex");  // as the lab module answers, whatever its file calls it
  EXPECT_EQ(result["build_after"], kNewBuild);
  EXPECT_EQ(result["version_after"], "2.2.0");
  EXPECT_EQ(result["recovery"], json({{"chip", "imx"}, {"fingerprint", words}, {"build_written", kNewBuild},
                                      {"verified_by", "module_return"}}))
      << r.out;
}

// Firmware that comes back as another build than its file names is no recovery.
TEST_F(ImxRecoveryE2E, ModuleBackWithAnotherBuildFailsTheRecovery) {
  Start();
  Bytes image = birdwriter::RandomBytes(6000, 23);
  birdwriter::Block own = birdwriter::InfoBlock(kNewBuild, "2.2.0", kModule, "Orrin");
  std::copy(own.content.begin(), own.content.end(), image.begin() + 0x400);
  std::string bird = WriteBird(work_.file("claims-2300.bird"),
                               {birdwriter::InfoBlock(2300, "2.3.0", kModule, "Orrin"), LoaderBlock(3000, kModule),
                                birdwriter::AddressedBlock(birdwriter::kFirmware, 0x60000000, image)});
  ProgramResult r = Updater({"--json", "-U", "-t", "RECOVER", "-s", "USB", "-d", "0000B1C0", "-f", bird});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  const std::string refusal = "Module [0000B1C0] came back running build 2200, not the transferred build 2300";
  EXPECT_NE(r.err.find(refusal + "\n"), std::string::npos) << r.out << r.err;
  EXPECT_EQ(r.err.find("now runs"), std::string::npos) << r.err;
  // The result says why, and that nothing proved the recovery.
  nlohmann::json d = testsupport::ResultDocument(r.out, r.exitCode);
  EXPECT_EQ(d["results"][0]["error"]["text"], refusal) << r.out;
  EXPECT_EQ(d["results"][0]["recovery"]["build_written"], 2300) << r.out;
  EXPECT_EQ(d["results"][0]["recovery"]["verified_by"], "none") << r.out;
}

TEST_F(ImxRecoveryE2E, RecoverOverThePtyUntilTheModuleRunsTheNewFirmware) {
  Start();
  ProgramResult r = Updater({"-U", "-t", "RECOVER", "-s", uart_->path()});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(WaitFor([&] { return lab_->host().build(kModule) == kNewBuild; }, 5000)) << r.out << r.err;
  EXPECT_EQ(Count("jump 0x20000400 loader"), 1u) << Account();
}

// A ROM slow to answer is waited for; one that never answers is asked five
// times and sent nothing else.
TEST_F(ImxRecoveryE2E, RomAnsweringOnlyFromTheThirdStatusLoadsOneNeverAnsweringFails) {
  lab::ImxRomOptions rom;
  rom.answerStatusFrom = 3;
  Start(rom);
  ProgramResult r = Updater({"-N", "-s", "USB"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(kFingerprint), std::string::npos) << r.out << r.err;
  EXPECT_EQ(Count("error-status unanswered"), 2u) << Account();
  TearDown();

  rom.answerStatusFrom = 0;
  Start(rom);
  r = Updater({"-N", "-s", "USB", "-X", "0x10000000"});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("Got no response from chip"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Error: No ack from iMX device"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("The i.MX boot ROM never answered the status request\n"), std::string::npos) << r.err;
  EXPECT_EQ(Count("error-status unanswered"), 5u) << Account();
  EXPECT_EQ(chip_->account().size(), 5u) << Account();
}

// Bytes between data packets abort the transfer; a wrong completion word
// fails it; a loader that never shows up on USB fails the fingerprint.
TEST_F(ImxRecoveryE2E, ChatterWrongCompletionOrAMissingLoaderFail) {
  lab::ImxRomOptions rom;
  rom.chatter = true;
  Start(rom);
  ProgramResult r = Updater({"-N", "-s", "USB", "-X", "0x10000000"});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("Error while transfering loader. Aborting"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("The i.MX boot ROM spoke in the middle of the loader transfer\n"), std::string::npos) << r.err;
  EXPECT_EQ(Count("jump"), 0u) << Account();
  TearDown();

  rom = lab::ImxRomOptions();
  rom.completionWord = 0x12345678;
  Start(rom);
  r = Updater({"-N", "-s", uart_->path(), "-X", "0x10000000"});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("Loader Transfer Unsuccessful"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("The i.MX boot ROM did not confirm the loader (wrong or no completion word)\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(Count("jump"), 0u) << Account();
  TearDown();

  rom = lab::ImxRomOptions();
  rom.hideLoader = true;
  Start(rom);
  r = Updater({"-N", "-s", "USB"});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("Got no response from chip"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("The recovery loader was started but never joined the USB bus as DEADDEAD\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(chip_->loaderStarts(), 1u);
}

// A loader alone is the default recovery image: right for -N, but nothing to
// recover a module with. Named on the command line it is refused before the
// chip hears anything; named by the server (here through -b) it is refused
// before any firmware is sent to the loader.
TEST_F(ImxRecoveryE2E, LoaderOnlyImageIsRefusedForARecovery) {
  Start();
  std::string loaderOnly = work_.file("catalogue/Orrin/900.bird");
  ProgramResult r = Updater({"-U", "-t", "RECOVER", "-s", "USB", "-f", loaderOnly, "-d", "0000B1C0"});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("Bird file holds only the recovery loader, no firmware to recover the module with\n"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(chip_->account().empty()) << Account();

  r = Updater({"-U", "-t", "RECOVER", "-s", "USB", "-b", "900"});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("Bird file holds only the recovery loader, no firmware to recover the module with\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.out.find("Recovering firmware with build: 900\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Transferred"), std::string::npos) << r.out;
  EXPECT_NE(chip_->firmwareSerial(), kModule);
  EXPECT_NE(lab_->host().build(kModule), 900u);
}

// The UART paced like a real line at 115200 baud: the port takes a 64 KB
// loader far faster than the line carries it, and the completion word comes
// only once the last byte has crossed. The whole loader is in RAM and starts.
TEST_F(ImxRecoveryE2E, OverAPacedLineA64KBLoaderArrivesWholeAndStarts) {
  lab::ImxUartOptions line;
  line.pace = true;
  Start(lab::ImxRomOptions(), line, 0x10000);
  ProgramResult r = Updater({"-N", "-s", uart_->path()});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(kFingerprint), std::string::npos) << r.out << r.err;
  EXPECT_EQ(Count("write-file 0x20000000 65536"), 1u) << Account();
  EXPECT_EQ(Count("write-file abandoned"), 0u) << Account();
  EXPECT_EQ(Count("jump 0x20000400 loader"), 1u) << Account();
  std::vector<uint8_t> ram;
  lab::ImxLabLoader loaded;
  ASSERT_TRUE(chip_->readRam(0x20000400, 0x10000 - 0x400, ram));
  EXPECT_TRUE(lab::ImxLabLoader::decode(ram.data(), ram.size(), loaded)) << "the loader in RAM is not intact";
  EXPECT_EQ(loaded.length, 0x10000u - 0x400 - lab::ImxLabLoader::kHeaderSize);
}

// On the paced line, a ROM that takes 60 ms over each answer is still within
// the line's deadline; one that never answers is asked five times, each
// given up once the line has carried the request and a reply's time, with the
// messages the user and the log expect.
TEST_F(ImxRecoveryE2E, OverAPacedLineALateRomLoadsASilentOneFailsWithinItsDeadline) {
  lab::ImxUartOptions line;
  line.pace = true;
  line.answerDelayMs = 60;
  Start(lab::ImxRomOptions(), line);
  ProgramResult r = Updater({"-N", "-s", uart_->path()});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(kFingerprint), std::string::npos) << r.out << r.err;
  EXPECT_EQ(Count("error-status unanswered"), 0u) << Account();
  EXPECT_EQ(Count("write-file 0x20000000 3000"), 1u) << Account();
  TearDown();

  lab::ImxRomOptions rom;
  rom.answerStatusFrom = 0;
  Start(rom, line);
  r = Updater({"-N", "-s", uart_->path(), "-X", "0x10000000"});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("Got no response from chip"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Error: No ack from iMX device"), std::string::npos) << r.err;
  EXPECT_EQ(Count("error-status unanswered"), 5u) << Account();
  EXPECT_EQ(Count("write-file"), 0u) << Account();
}

// A loader left running by an interrupted run keeps the boot ROM silent. The
// next -N reads the identifier from that loader and resets it; the next
// recovery programs through the one left then. Neither sends a loader again.
TEST_F(ImxRecoveryE2E, ALoaderLeftRunningIsUsedByTheNextFingerprintAndRecovery) {
  Start();
  LeaveALoaderRunning();
  ProgramResult r = Updater({"-N", "-s", "USB"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(kFingerprint), std::string::npos) << r.out << r.err;
  EXPECT_NE(r.out.find("Found the recovery loader already running as DEADDEAD: using it\n"), std::string::npos)
      << r.out;
  EXPECT_TRUE(WaitFor([&] { return chip_->state() == lab::ImxRom::State::Idle; })) << "the loader was not reset";
  EXPECT_EQ(Count("jump"), 1u) << Account();
  EXPECT_EQ(Count("write-file"), 1u) << Account();

  LeaveALoaderRunning();
  r = Updater({"-U", "-t", "RECOVER", "-s", uart_->path()});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Found the recovery loader already running as DEADDEAD: using it\n"), std::string::npos)
      << r.out;
  EXPECT_TRUE(WaitFor([&] { return lab_->host().build(kModule) == kNewBuild; }, 5000)) << r.out << r.err;
  EXPECT_EQ(chip_->firmwareSerial(), kModule);
  EXPECT_EQ(Count("jump"), 2u) << Account();
  EXPECT_EQ(Count("write-file"), 2u) << Account();
}

// An image of the module's own: a loader that may announce the module or the
// unknown serial number, and firmware.
std::string ModuleImage(const testsupport::TempDir& dir, const std::string& name, uint32_t loaderSerial) {
  return WriteBird(dir.file(name), {birdwriter::InfoBlock(kNewBuild, "2.2.0", kModule, "Orrin"),
                                    LoaderBlock(3000, loaderSerial),
                                    birdwriter::AddressedBlock(birdwriter::kFirmware, 0x60000000,
                                                               birdwriter::RandomBytes(4096, 24))});
}

// -N takes -d: a named image needs the module it is for, over HID and the
// pty alike, whether its loader announces the module or the unknown serial.
TEST_F(ImxRecoveryE2E, FingerprintWithANamedImageTakesTheModuleFromDashD) {
  Start();
  for (uint32_t loaderSerial : {kModule, kDefault}) {
    std::string bird = ModuleImage(work_, "module-" + std::to_string(loaderSerial) + ".bird", loaderSerial);
    for (const std::string& port : {std::string("USB"), uart_->path()}) {
      SCOPED_TRACE(port + " " + std::to_string(loaderSerial));
      ProgramResult r = Updater({"-N", "-s", port, "-f", bird, "-d", "0000B1C0"});
      EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
      EXPECT_NE(r.out.find(kFingerprint), std::string::npos) << r.out << r.err;
      EXPECT_EQ(r.err, kBannerLine);
      EXPECT_TRUE(WaitFor([&] { return chip_->state() == lab::ImxRom::State::Idle; })) << "the loader was not reset";
      EXPECT_TRUE(WaitFor([&] { return !lab_->host().onBus(loaderSerial); })) << "the loader stayed on the bus";
    }
  }
  EXPECT_EQ(Count("jump 0x20000400 loader"), 4u) << Account();
}

// A status reply that comes about 20 ms past its window is taken by the next
// status request; the answer to that one, still on its way, is dropped, not
// read as the loader's completion. A loader of one data packet, so nothing
// but the completion read could see it.
TEST_F(ImxRecoveryE2E, LateStatusReplyIsNotTakenForTheLoadersCompletion) {
  lab::ImxUartOptions line;
  line.pace = true;
  line.answerDelayMs = 5;
  line.lateStatus = 1;
  line.lateMs = 117;
  Start(lab::ImxRomOptions(), line);
  lab::ImxLabLoader loader;
  loader.serial = kModule;
  std::string bird = WriteBird(work_.file("small-loader.bird"),
                               {birdwriter::InfoBlock(kNewBuild, "2.2.0", kModule, "Orrin"),
                                birdwriter::AddressedBlock(birdwriter::kLoader, 0x20000400, loader.encode(600))});
  ProgramResult r = Updater({"-N", "-s", uart_->path(), "-f", bird, "-d", "0000B1C0", "-X", "0x10000000"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(kFingerprint), std::string::npos) << r.out << r.err;
  EXPECT_NE(r.err.find("dropped 8 late bytes"), std::string::npos) << r.err;
  EXPECT_EQ(Count("error-status"), 2u) << Account();
  EXPECT_EQ(Count("write-file 0x20000400 644"), 1u) << Account();
  EXPECT_EQ(Count("jump 0x20000400 loader"), 1u) << Account();
}

// A ROM that never drops a partial command: the LPC handshake that went out
// first (at the asked rate, then at 115200) was whole 16-byte blocks, none of
// them a command, so SDP finds the ROM aligned. Both commands work through it.
TEST_F(ImxRecoveryE2E, StrictRomTakesSdpAfterTheLpcHandshake) {
  Start(lab::ImxRomOptions(), lab::ImxUartOptions(), 3000, true);
  ProgramResult r = Updater({"-N", "-s", uart_->path()});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(kFingerprint), std::string::npos) << r.out << r.err;
  EXPECT_EQ(Count("unknown command"), 6u) << Account();
  EXPECT_TRUE(WaitFor([&] { return chip_->state() == lab::ImxRom::State::Idle; })) << "the loader was not reset";

  r = Updater({"-U", "-t", "RECOVER", "-s", uart_->path(), "-o", "57600"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(WaitFor([&] { return lab_->host().build(kModule) == kNewBuild; }, 5000)) << r.out << r.err;
  EXPECT_EQ(Count("unknown command"), 18u) << Account();
  EXPECT_EQ(Count("write-file 0x20000000 3000 refused"), 0u) << Account();
  EXPECT_EQ(Count("write-file abandoned"), 0u) << Account();
  EXPECT_EQ(Count("jump 0x20000400 loader"), 2u) << Account();
}
