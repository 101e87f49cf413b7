// -N and -U -t RECOVER against the lab LPC boot ROM behind a pty, and the
// i.MX path's choice of recovery image with no boot ROM behind it; each run in
// a private network namespace with a private store bound over ~/.tessoral.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "BirdWriter.h"
#include "LabLpcSupport.h"
#include "LabServerSupport.h"
#include "PrivateStoreTest.h"
#include "ResultDocument.h"
#include "TestSupport.h"

using testsupport::FirmwarePiece;
using testsupport::LabLpcProcess;
using testsupport::ProgramResult;

namespace {

// Piped, the banner goes to stderr ahead of any message.
const std::string kBannerLine = "Updater (Version: 1.1 Jan 21 2023)\n";

const char* const kNoServer = "http://127.0.0.1:9/cgi/u";

class RecoveryE2E : public testsupport::PrivateStoreTest {
protected:
  LabLpcProcess& StartRom(const std::vector<std::string>& args = {}) {
    rom.reset();
    rom.reset(new LabLpcProcess(romDir.path(), args));
    EXPECT_TRUE(rom->ok());
    return *rom;
  }
  ProgramResult Updater(std::vector<std::string> args) {
    if (std::find(args.begin(), args.end(), "-u") == args.end()) {
      args.push_back("-u");
      args.push_back(kNoServer);
    }
    return PrivateStoreTest::Updater(args);
  }
  std::string WriteBird(const std::vector<FirmwarePiece>& pieces, bool serialOffsets = false) {
    std::string path = work.file("image.bird");
    testsupport::WriteFile(path, testsupport::MakeRecoveryBird(pieces, testsupport::kLabLpcSerial, 7, "Holvex",
                                                              serialOffsets));
    return path;
  }
  ProgramResult Recover(const std::string& bird, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"-U", "-t", "RECOVER", "-s", rom->pty(), "-f", bird};
    args.insert(args.end(), extra.begin(), extra.end());
    return Updater(args);
  }
  // What the ROM received from the last entry that starts with `prefix` on.
  std::vector<std::string> After(const std::string& prefix) {
    std::vector<std::string> all = rom->received();
    auto it = std::find_if(all.rbegin(), all.rend(), [&](const std::string& s) { return s.rfind(prefix, 0) == 0; });
    if (it == all.rend())
      return {"<" + prefix + " not received>"};
    return std::vector<std::string>(std::next(it).base(), all.end());
  }
  bool Received(const std::string& prefix) {
    for (const std::string& s : rom->received())
      if (s.rfind(prefix, 0) == 0)
        return true;
    return false;
  }
  std::string Initial() {
    std::string bytes = testsupport::TestBytes(testsupport::kLabLpcFlashSize, 99);
    testsupport::WriteFile(work.file("initial.bin"), bytes);
    return bytes;
  }

  testsupport::TempDir romDir, work;
  std::unique_ptr<LabLpcProcess> rom;
};

const std::vector<FirmwarePiece> kSmall = {{0x2000, testsupport::TestBytes(1500, 5)}};

}  // namespace

TEST_F(RecoveryE2E, FingerprintIsReadAndAChipLeftInCommandModeIsRecognised) {
  StartRom({"--serial", "DEADBEEF:00000001:80000000:0000CAFE"});
  ProgramResult r = Updater({"-N", "-s", rom->pty()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("[ DEADBEEF 00000001 80000000 0000CAFE ]\n"), std::string::npos) << r.out;
  // The chip stays synchronised: the next run's "?" is only echoed.
  r = Updater({"-N", "-s", rom->pty()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("[ DEADBEEF 00000001 80000000 0000CAFE ]\n"), std::string::npos) << r.out;
  rom->Stop();
  std::vector<std::string> got = rom->received();
  EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const std::string& s) { return s.rfind("? (autobaud", 0) == 0; }),
            1);
  EXPECT_EQ(std::count(got.begin(), got.end(), "N"), 2);
}

TEST_F(RecoveryE2E, MultiBlockImageLandsByteForByteWithErasedFlashAround) {
  std::vector<FirmwarePiece> pieces = {
      {0x0000, testsupport::TestBytes(12 * 1024, 1)},  // three full pieces from address 0
      {0xF800, testsupport::TestBytes(5000, 2)},       // a window across sectors 15 and 16, a short last piece
      {0x20010, testsupport::TestBytes(1001, 3)},      // unaligned start, length not a multiple of 4
      {0x30000, testsupport::TestBytes(100, 4)},       // two blocks sharing one copy window
      {0x30064, testsupport::TestBytes(60, 6)},
      {0x7FF00, testsupport::TestBytes(100, 7)},       // the last sector
  };
  StartRom();
  ProgramResult r = Recover(WriteBird(pieces));
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Transferring firmware block 2 of 6, 5000 bytes\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Transferred 6 blocks, 18549 total bytes\nRebooting Device\n"), std::string::npos) << r.out;
  // The closing claim counts what the chip compared: every image byte past the boot ROM's 64.
  const std::string claim = "Read back ";
  size_t at = r.out.find(claim);
  ASSERT_NE(at, std::string::npos) << r.out;
  unsigned long readBack = std::stoul(r.out.substr(at + claim.size()));
  EXPECT_GE(readBack, 18549u - 64u);
  EXPECT_NE(r.out.find(" bytes of flash: identical to the image\n", at), std::string::npos) << r.out;
  rom->Stop();
  // The RAM held arbitrary bytes: none of them may reach the flash.
  EXPECT_TRUE(rom->flash() == testsupport::ExpectedFlash(pieces)) << "the flash differs from the image";
  EXPECT_TRUE(Received("P 15 16")) << rom->account();
  EXPECT_TRUE(Received("C 524032 268439552 256")) << rom->account();
  EXPECT_EQ(After("A 1"), (std::vector<std::string>{"A 1", "G 0 T"}));
}

TEST_F(RecoveryE2E, ChipWithoutEchoAndOtherLineRates) {
  StartRom({"--no-echo"});
  ProgramResult r = Recover(WriteBird(kSmall));
  EXPECT_EQ(r.exitCode, 0) << r.err;
  rom->Stop();
  EXPECT_TRUE(rom->flash() == testsupport::ExpectedFlash(kSmall));

  // -o on a chip a fingerprint left at 115200: it is found there after the
  // -o rate went unanswered, and told the new rate before the port is
  // reopened at it (the lab garbles bytes sent at the wrong rate).
  for (const char* rate : {"57600", "230400"}) {
    StartRom({"--pace"});
    ASSERT_EQ(Updater({"-N", "-s", rom->pty()}).exitCode, 0);
    r = Recover(WriteBird(kSmall), {"-o", rate});
    EXPECT_NE(r.out.find("LPC boot ROM answered at 115200 baud (still synchronised from an earlier run)\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.exitCode, 0) << rate << r.err;
    rom->Stop();
    EXPECT_TRUE(rom->flash() == testsupport::ExpectedFlash(kSmall)) << rate;
    EXPECT_TRUE(Received(std::string("B ") + rate + " 1")) << rom->account();
    EXPECT_NE(rom->account().find(std::string("\"baud\": ") + rate), std::string::npos);
  }
}

TEST_F(RecoveryE2E, ImageWithSerialNumberOffsetsIsRefusedBeforeTheFlashIsTouched) {
  std::string initial = Initial();
  StartRom({"--flash-in", work.file("initial.bin")});
  ProgramResult r = Recover(WriteBird(kSmall, true));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Updater does not support offline recovery\n"), std::string::npos) << r.err;
  rom->Stop();
  EXPECT_TRUE(rom->flash() == initial);
  EXPECT_FALSE(Received("E ") || Received("W ") || Received("U "));
}

TEST_F(RecoveryE2E, TwoResendsAreToleratedAndTheThirdIsFatal) {
  StartRom({"--resend", "2,3"});
  ProgramResult r = Recover(WriteBird(kSmall));
  EXPECT_EQ(r.exitCode, 0) << r.err;
  rom->Stop();
  EXPECT_TRUE(rom->flash() == testsupport::ExpectedFlash(kSmall));

  std::string initial = Initial();
  StartRom({"--resend", "2,3,4", "--flash-in", work.file("initial.bin")});
  r = Recover(WriteBird(kSmall));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Recovery failed: writing to the chip's RAM failed: it answered RESEND to the same block 3 "
                       "times [8, aErrWrite]\n"),
            std::string::npos)
      << r.err;
  rom->Stop();
  // Nothing follows the third refused block: no copy, no start.
  std::vector<std::string> after = After("checksum");
  ASSERT_EQ(after.size(), 1u) << rom->account();
  EXPECT_NE(after[0].find("block 4, RESEND forced"), std::string::npos) << after[0];
  EXPECT_FALSE(Received("C "));
}

TEST_F(RecoveryE2E, RefusedOrHungCommandsEndTheRunWithNothingAfterThem) {
  // A two-digit code is a failure, not the success of its last digit.
  StartRom({"--fail", "P:10@2"});
  ProgramResult r = Recover(WriteBird(kSmall));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("could not prepare the sectors [2, aErrParam] (the chip answered 10, COMPARE_ERROR)"),
            std::string::npos)
      << r.err;
  rom->Stop();
  EXPECT_EQ(After("P "), (std::vector<std::string>{"P 2 2 (forced)"}));

  StartRom({"--fail", "C:19"});
  r = Recover(WriteBird(kSmall));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("copying to flash failed"), std::string::npos) << r.err;
  rom->Stop();
  EXPECT_EQ(After("C "), (std::vector<std::string>{"C 8192 268439552 4096 (forced)"}));

  std::string initial = Initial();
  StartRom({"--hang", "E", "--flash-in", work.file("initial.bin")});
  r = Recover(WriteBird(kSmall));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("could not erase the flash [18, aErrTimeout]"), std::string::npos) << r.err;
  rom->Stop();
  EXPECT_TRUE(rom->flash() == initial);

  StartRom({"--silent"});
  r = Updater({"-N", "-s", rom->pty()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Got no response from chip\n"), std::string::npos) << r.err;
  r = Recover(WriteBird(kSmall));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Could not get Device Identifier\n"), std::string::npos) << r.err;
}

TEST_F(RecoveryE2E, SlowEraseIsAwaitedAndWrongBitsAreCaughtByReadBack) {
  // Erasing the whole flash takes seconds on a chip.
  StartRom({"--erase-ms", "3000", "--copy-ms", "100"});
  ProgramResult r = Recover(WriteBird(kSmall));
  EXPECT_EQ(r.exitCode, 0) << r.err;
  rom->Stop();
  EXPECT_TRUE(rom->flash() == testsupport::ExpectedFlash(kSmall));

  StartRom({"--corrupt-copy", "1"});
  r = Recover(WriteBird(kSmall));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Recovery failed: the flash at 0x00002000 does not hold what was written"), std::string::npos)
      << r.err;
  EXPECT_EQ(r.out.find("Rebooting Device"), std::string::npos);
  EXPECT_EQ(r.out.find("identical to the image"), std::string::npos) << r.out;
  rom->Stop();
  EXPECT_EQ(After("M ").size(), 1u) << rom->account();
}

TEST_F(RecoveryE2E, ServerNamesTheModuleAndBuildForTheFingerprint) {
  testsupport::TempDir catalogue;
  mkdir(catalogue.file("Holvex").c_str(), 0755);
  std::vector<FirmwarePiece> pieces = {{0x0, testsupport::TestBytes(6000, 11)}, {0x40000, testsupport::TestBytes(300, 12)}};
  testsupport::WriteFile(catalogue.file("Holvex/42.bird"),
                         testsupport::MakeRecoveryBird(pieces, testsupport::kLabLpcSerial, 42));
  testsupport::LabServerProcess server({"--catalogue", catalogue.path(), "--device", "0000BEEF:Holvex:42", "--fix",
                                        "12345678:9ABCDEF0:0F1E2D3C:4B5A6978:0000BEEF:42", "--log",
                                        catalogue.file("requests.log")});
  ASSERT_TRUE(server.ok());
  StartRom();
  ProgramResult r = Updater({"-U", "-t", "RECOVER", "-s", rom->pty(), "-u", server.url()});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Recovering firmware with build: 42\n"), std::string::npos) << r.out;
  rom->Stop();
  EXPECT_TRUE(rom->flash() == testsupport::ExpectedFlash(pieces));
  EXPECT_FALSE(testsupport::ReadFile(storeDir.file("updater/0000BEEF/42.bird")).empty());
  std::string log = testsupport::ReadFile(catalogue.file("requests.log"));
  EXPECT_NE(log.find("fp=12345678%209ABCDEF0%200F1E2D3C%204B5A6978&op=fix"), std::string::npos) << log;

  // A fingerprint the server does not know: nothing is erased.
  std::string initial = Initial();
  StartRom({"--serial", "1:2:3:4", "--flash-in", work.file("initial.bin")});
  r = Updater({"-U", "-t", "RECOVER", "-s", rom->pty(), "-u", server.url()});
  EXPECT_EQ(r.exitCode, 1);
  // The line, the server asked and the client's reason.
  EXPECT_NE(r.err.find("Failed to retreive recovery information from Tessoral update server " + server.url() +
                       ": the reply does not begin with \"ok\"\n"),
            std::string::npos)
      << r.err;
  rom->Stop();
  EXPECT_TRUE(rom->flash() == initial);
}

// --json: -N alone is a "fingerprint" document with the chip and its words; a
// recovery's result names the chip, its fingerprint, the build written and the
// flash read-back that proved it, and a failed one the chip's refusal.
TEST_F(RecoveryE2E, JsonNamesTheChipItsFingerprintAndHowTheRecoveryWasProved) {
  using nlohmann::json;
  const json words = {"12345678", "9ABCDEF0", "0F1E2D3C", "4B5A6978"};
  StartRom();
  ProgramResult r = Updater({"--json", "-N", "-s", rom->pty()});
  json d = testsupport::ResultDocument(r.out, r.exitCode);
  EXPECT_EQ(d["command"], "fingerprint") << r.out;
  EXPECT_EQ(d["fingerprint"], json({{"chip", "lpc"}, {"read", true}, {"words", words}})) << r.out;

  r = Updater({"--json", "-U", "-t", "RECOVER", "-s", rom->pty(), "-d", "0000BEEF", "-f", WriteBird(kSmall)});
  d = testsupport::ResultDocument(r.out, r.exitCode);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  ASSERT_EQ(d["results"].size(), 1u) << r.out;
  const json& result = d["results"][0];
  EXPECT_EQ(result["serial"], "0000BEEF");
  EXPECT_EQ(result["succeeded"], true);
  EXPECT_GT(result["seconds"].get<double>(), 0.0);
  EXPECT_EQ(result["recovery"], json({{"chip", "lpc"}, {"fingerprint", words}, {"build_written", 7},
                                      {"verified_by", "flash_read_back"}}))
      << r.out;

  StartRom({"--fail", "P:10@2"});
  r = Updater({"--json", "-U", "-t", "RECOVER", "-s", rom->pty(), "-f", WriteBird(kSmall)});
  d = testsupport::ResultDocument(r.out, r.exitCode);
  EXPECT_EQ(r.exitCode, 1);
  const json refused = {{"code", 2},
                        {"text", "Recovery failed: could not prepare the sectors [2, aErrParam] (the chip answered "
                                 "10, COMPARE_ERROR)"}};
  EXPECT_EQ(d["results"][0]["error"], refused) << r.out;
  EXPECT_EQ(d["error"], refused) << r.out;
  EXPECT_EQ(d["results"][0]["recovery"]["verified_by"], "none") << r.out;
  EXPECT_EQ(d["results"][0]["recovery"]["chip"], "lpc") << r.out;

  // A port where no boot ROM answers names no family: silence is not an i.MX.
  StartRom({"--silent"});
  r = Updater({"--json", "-N", "-s", rom->pty()});
  d = testsupport::ResultDocument(r.out, r.exitCode);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(d["command"], "fingerprint") << r.out;
  EXPECT_EQ(d["fingerprint"], json({{"chip", "unknown"}, {"read", false}})) << r.out;
}

// An image that compressed away would not load.
static std::string Noise(size_t size) {
  std::string image(size, '\0');
  std::mt19937 random(static_cast<unsigned>(size));
  for (char& c : image)
    c = static_cast<char>(random());
  return image;
}

// Refused before anything went to a chip: that line alone, no summary of a silent chip.
TEST_F(RecoveryE2E, ImxNamedImageNeedsASerialNumber) {
  std::string bird = work.file("some.bird");
  testsupport::WriteFile(bird, testsupport::MakeBirdBytes(7, "1.0.0", "Recovery", 0, Noise(600)));
  ProgramResult r = Updater({"-N", "-s", "USB", "-f", bird});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, kBannerLine + "Add serial number or remove the bird filename to use a default recovery image.\n");
}

// A store entry for the unknown serial number that names no readable image
// (a download that failed before, or a file removed since) is downloaded again.
TEST_F(RecoveryE2E, ImxDefaultImageIsDownloadedWhenTheStoreNamesNoReadableFile) {
  mkdir(work.file("Recovery").c_str(), 0755);
  // Firmware only, no loader: the flow stops right after the download, before any device is opened.
  testsupport::WriteFile(work.file("Recovery/31.bird"),
                         testsupport::MakeBirdBytes(31, "3.1.0", "Recovery", 0, Noise(900)));
  testsupport::LabServerProcess server({"--catalogue", work.path(), "--device", "DEADDEAD:Recovery"});
  ASSERT_TRUE(server.ok());
  mkdir(storeDir.file("updater").c_str(), 0755);
  mkdir(storeDir.file("updater/DEADDEAD").c_str(), 0755);
  auto entry = [&](const std::string& name) { return storeDir.file("updater/DEADDEAD/" + name); };

  for (const char* settings : {"LAST_DOWNLOAD_DATE=Mon Dec  7 10:00:00 2026\n", "LATEST_DOWNLOAD=12.bird\n"}) {
    SCOPED_TRACE(settings);
    unlink(entry("31.bird").c_str());
    ASSERT_TRUE(testsupport::WriteFile(entry(".settings"), settings));
    ProgramResult r = Updater({"-N", "-s", "USB", "-u", server.url()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(testsupport::ReadFile(entry(".settings")).find("LATEST_DOWNLOAD=31.bird"), std::string::npos);
    struct stat st;
    EXPECT_EQ(stat(entry("31.bird").c_str(), &st), 0) << "the default recovery image was not downloaded";
    // The download was muted; what stopped the flow was not.
    EXPECT_EQ(r.out.find("Retrieving build"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("The recovery image holds no loader"), std::string::npos) << r.err;
  }
}

// Images the chip cannot be recovered with are refused before it is erased:
// firmware blocks that hold no bytes, and blocks after the end marker (a
// firmware block of one word), which would be left erased.
TEST_F(RecoveryE2E, ImagesThatWouldLeaveTheFlashEmptyAreRefusedBeforeTheErase) {
  std::string initial = Initial();
  struct Case {
    std::vector<FirmwarePiece> pieces;
    const char* error;
  } cases[] = {
      {{{0x2000, ""}}, "Bird file holds no firmware\n"},
      {{{0x2000, ""}, {0x3000, ""}}, "Bird file holds no firmware\n"},
      {{{0x2000, testsupport::TestBytes(1500, 5)}, {0x3000, "abcd"}, {0x4000, testsupport::TestBytes(100, 6)}},
       "Firmware block 3 follows the end marker (block 2, 8 bytes at 0x00003000)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    StartRom({"--flash-in", work.file("initial.bin")});
    ProgramResult r = Recover(WriteBird(c.pieces));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Transferred"), std::string::npos) << r.out;
    rom->Stop();
    EXPECT_TRUE(rom->flash() == initial);
    EXPECT_FALSE(Received("E ") || Received("W ") || Received("U ")) << rom->account();
  }
  // An end marker that ends the image is no error.
  std::vector<FirmwarePiece> ended = {{0x2000, testsupport::TestBytes(1500, 5)}, {0x3000, "abcd"}};
  StartRom();
  ProgramResult r = Recover(WriteBird(ended));
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("Transferred 1 blocks, 1500 total bytes\n"), std::string::npos) << r.out;
  rom->Stop();
  EXPECT_TRUE(rom->flash() == testsupport::ExpectedFlash(kSmall));
}

// A reply of just "ok" names no module: nothing is programmed and no store
// entry is made for serial number 0.
TEST_F(RecoveryE2E, ServerReplyNamingNoModuleProgramsNothing) {
  testsupport::TempDir catalogue;
  mkdir(catalogue.file("Holvex").c_str(), 0755);
  testsupport::LabServerProcess server({"--catalogue", catalogue.path(), "--fault", "fix:okonly"});
  ASSERT_TRUE(server.ok());
  std::string initial = Initial();
  StartRom({"--flash-in", work.file("initial.bin")});
  ProgramResult r = Updater({"-U", "-t", "RECOVER", "-s", rom->pty(), "-u", server.url()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Failed to retreive recovery information from Tessoral update server " + server.url() +
                       ": the server names no module for this fingerprint\n"),
            std::string::npos)
      << r.err;
  rom->Stop();
  EXPECT_TRUE(rom->flash() == initial);
  EXPECT_FALSE(Received("E "));
  struct stat st;
  EXPECT_NE(stat(storeDir.file("updater/00000000").c_str(), &st), 0) << "a store entry for serial number 0";
}

// Once the LPC handshake succeeded the chip is an LPC: a failing "N" is
// reported as such, and the i.MX path (its default image from the server,
// SDP bytes into the ISP interpreter) is never taken. A port that cannot be a
// chip's ends the command before any server contact.
TEST_F(RecoveryE2E, LpcFailuresAndBadPortsStayOffTheImxPathAndTheServer) {
  testsupport::TempDir catalogue;
  std::string log = catalogue.file("requests.log");
  testsupport::LabServerProcess server({"--catalogue", catalogue.path(), "--log", log});
  ASSERT_TRUE(server.ok());
  StartRom({"--fail", "N:1"});
  ProgramResult r = Updater({"-N", "-s", rom->pty(), "-u", server.url()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("The LPC boot ROM took the handshake but did not give its device serial number [2, "
                       "aErrParam]\n"),
            std::string::npos)
      << r.err;
  r = Updater({"-U", "-t", "RECOVER", "-s", rom->pty(), "-u", server.url()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Could not get Device Identifier\n"), std::string::npos) << r.err;
  rom->Stop();
  EXPECT_FALSE(Received("E "));

  testsupport::WriteFile(work.file("plain"), "not a port");
  mkfifo(work.file("fifo").c_str(), 0600);
  const std::pair<std::string, std::string> ports[] = {
      {work.file("plain"), " is a regular file, not a serial port\n"},
      {work.file("fifo"), " is a FIFO, not a serial port\n"},
      {work.path(), " is a directory, not a serial port\n"},
      {"/dev/null", " is not a serial port (a device that is not a terminal)\n"},
      {work.file("missing"), " does not exist\n"},
  };
  // One line says it all: no chip was asked, so no summary of one follows.
  for (const auto& port : ports) {
    r = Updater({"-N", "-s", port.first, "-u", server.url()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, kBannerLine + "Port " + port.first + port.second);
    r = Updater({"-U", "-t", "RECOVER", "-s", port.first, "-u", server.url()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, kBannerLine + "Port " + port.first + port.second);
    EXPECT_EQ(r.out.find("Update time"), std::string::npos) << r.out;
  }
  EXPECT_EQ(testsupport::ReadFile(log), "") << "the server was contacted";
}

// A chip keeps the rate it was synchronised at until it is reset. The next
// run finds it at the -o rate and programs it there; without -o it hears the
// chip answer garbled at 115200, finds it at 9600 and switches it to 115200.
TEST_F(RecoveryE2E, ChipLeftAtAnotherRateIsFoundAtTheAskedRateOrWithoutBeingTold) {
  for (bool asked : {true, false}) {
    SCOPED_TRACE(asked ? "-o 9600" : "no -o");
    StartRom({"--pace"});
    ProgramResult r = Updater({"-N", "-s", rom->pty(), "-o", "9600"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("LPC boot ROM answered at 9600 baud\n"), std::string::npos) << r.out;
    r = Recover(WriteBird(kSmall), asked ? std::vector<std::string>{"-o", "9600"} : std::vector<std::string>{});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("LPC boot ROM answered at 9600 baud (still synchronised from an earlier run)\n"),
              std::string::npos)
        << r.out;
    rom->Stop();
    EXPECT_TRUE(rom->flash() == testsupport::ExpectedFlash(kSmall));
    EXPECT_EQ(Received("B "), !asked) << rom->account();
    EXPECT_EQ(Received("B 115200 1"), !asked) << rom->account();
  }
}

// An LPC that stopped answering is as silent as an i.MX out of its boot ROM:
// the i.MX is not blamed alone, and the rate is named as a cause.
TEST_F(RecoveryE2E, SilentPortIsNotBlamedOnTheImx) {
  StartRom({"--silent"});
  std::string imx = work.file("imx.bird");
  std::vector<uint8_t> file = birdwriter::EncodeFile(
      {birdwriter::AddressedBlock(birdwriter::kLoader, 0x20000000, std::vector<uint8_t>(2048, 0x5A)),
       birdwriter::AddressedBlock(birdwriter::kFirmware, 0x60000000, std::vector<uint8_t>(4096, 0xA5))});
  testsupport::WriteFile(imx, std::string(file.begin(), file.end()));
  const std::string line = "Nothing answered on " + rom->pty() +
                           ", neither the LPC handshake at 115200 baud nor the i.MX status request; an LPC chip may "
                           "still run at another rate: give -o or reset it\n";
  ProgramResult r = Updater({"-N", "-s", rom->pty(), "-f", imx, "-d", "0000B1C0"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, kBannerLine + line + "Got no response from chip\n");
  r = Updater({"-U", "-t", "RECOVER", "-s", rom->pty(), "-f", imx, "-d", "0000B1C0", "-o", "9600"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("neither the LPC handshake at 9600 and 115200 baud nor the i.MX status request"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("i.MX boot ROM never answered"), std::string::npos) << r.err;
}

// A run stopped in the middle of a write leaves the chip in its data lines,
// deaf to the handshake: the next run brings it back and goes on.
TEST_F(RecoveryE2E, ChipLeftInTheMiddleOfAWriteIsBroughtBack) {
  StartRom({"--mid-write", "--pace"});
  ProgramResult r = Updater({"-N", "-s", rom->pty()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("(still synchronised from an earlier run)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("[ 12345678 9ABCDEF0 0F1E2D3C 4B5A6978 ]\n"), std::string::npos) << r.out;

  StartRom({"--mid-write"});
  r = Recover(WriteBird(kSmall));
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  rom->Stop();
  EXPECT_TRUE(rom->flash() == testsupport::ExpectedFlash(kSmall));
  EXPECT_EQ(After("A 1"), (std::vector<std::string>{"A 1", "G 0 T"}));
}

// A port that sends without end and never a line end: both commands end in
// time with the i.MX path's own refusal, not a hang.
TEST_F(RecoveryE2E, PortThatNeverEndsALineEndsTheCommandsInTime) {
  StartRom({"--babble"});
  std::string bird = WriteBird(kSmall);
  auto run = [&](std::vector<std::string> args) {
    std::vector<std::string> argv = {"/usr/bin/timeout", "-s", "KILL", "60", testsupport::BinPath("updater")};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {"-s", rom->pty(), "-f", bird, "-u", kNoServer});
    return testsupport::RunProgram(argv);
  };
  ProgramResult r = run({"-N"});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_LT(r.seconds, 15);
  EXPECT_NE(r.err.find("Add serial number or remove the bird filename to use a default recovery image.\n"),
            std::string::npos)
      << r.err;
  r = run({"-U", "-t", "RECOVER"});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_LT(r.seconds, 15);
  EXPECT_NE(r.err.find("Could not get Device Identifier\n"), std::string::npos) << r.err;

  // With an i.MX image for a named module the SDP status requests go out on
  // that port too: the junk they get back is no answer, and it ends in time.
  std::string imx = work.file("imx.bird");
  std::vector<uint8_t> file = birdwriter::EncodeFile(
      {birdwriter::AddressedBlock(birdwriter::kLoader, 0x20000000, std::vector<uint8_t>(2048, 0x5A)),
       birdwriter::AddressedBlock(birdwriter::kFirmware, 0x60000000, std::vector<uint8_t>(4096, 0xA5))});
  testsupport::WriteFile(imx, std::string(file.begin(), file.end()));
  std::vector<std::string> argv = {"/usr/bin/timeout", "-s", "KILL", "60", testsupport::BinPath("updater"),
                                   "-U", "-t", "RECOVER", "-d", "0000B1C0", "-s", rom->pty(), "-f", imx, "-u",
                                   kNoServer};
  r = testsupport::RunProgram(argv);
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_LT(r.seconds, 15);
  EXPECT_NE(r.err.find("The port sends bytes that are no answer of an i.MX boot ROM\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Could not get Device Identifier\n"), std::string::npos) << r.err;
}

// The checks of an image are linear in its blocks, and a count no flash
// needs is refused before the chip is touched.
TEST_F(RecoveryE2E, ImagesOfVeryManyBlocksAreCheckedQuicklyOrRefused) {
  std::vector<FirmwarePiece> many;
  for (uint32_t i = 0; i < 4000; i++)
    many.push_back({i * 128, testsupport::TestBytes(64, i)});
  std::string initial = Initial();
  StartRom({"--flash-in", work.file("initial.bin"), "--fail", "E:1"});
  ProgramResult r = Recover(WriteBird(many));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("could not erase the flash"), std::string::npos) << r.err;
  many.back().address = 0x100;  // overlaps block 3, found by the sweep
  r = Recover(WriteBird(many));
  EXPECT_NE(r.err.find("Firmware blocks 3 and 4000 overlap (0x00000100 and 0x00000100)\n"), std::string::npos)
      << r.err;

  std::vector<FirmwarePiece> tooMany;
  for (uint32_t i = 0; i < 100000; i++)
    tooMany.push_back({i * 5, "abcde"});
  r = Recover(WriteBird(tooMany));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_LT(r.seconds, 10);
  EXPECT_NE(r.err.find("The image holds 100000 firmware blocks; at most 4096 are accepted\n"), std::string::npos)
      << r.err;
  rom->Stop();
  EXPECT_TRUE(rom->flash() == initial);
  EXPECT_FALSE(Received("W ") || Received("C "));
}
