// Another host of NXP's ISP protocol, Debian's lpc21isp, identifies and
// programs the lab LPC boot ROM with verification through its pty: the lab is
// faithful to the protocol as others speak it, not only as the updater does.
#include <gtest/gtest.h>
#include <unistd.h>

#include "LabLpcSupport.h"
#include "LabServerSupport.h"
#include "TestSupport.h"

namespace {

const char* const kPeer = "/usr/bin/lpc21isp";

uint32_t sWord(const std::string& bytes, size_t at) {
  return uint8_t(bytes[at]) | uint8_t(bytes[at + 1]) << 8 | uint8_t(bytes[at + 2]) << 16 |
         uint32_t(uint8_t(bytes[at + 3])) << 24;
}

}  // namespace

TEST(LpcPeer, Lpc21ispIdentifiesAndProgramsTheLabRomWithVerification) {
  if (access(kPeer, X_OK) != 0)
    GTEST_SKIP() << "lpc21isp is not installed (scripts/install-deps installs it)";
  testsupport::TempDir dir;
  std::string image = testsupport::TestBytes(20000, 21);
  testsupport::WriteFile(dir.file("image.bin"), image);

  {
    testsupport::LabLpcProcess detect(dir.path());
    ASSERT_TRUE(detect.ok());
    testsupport::ProgramResult r =
        testsupport::RunProgram({kPeer, "-detectonly", "-debug3", detect.pty(), "115200", "14746"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("LPC1768, 512 kiB FLASH / 64 kiB SRAM (0x26013F37)"), std::string::npos) << r.out;
  }
  // The peer expects a chip fresh from reset (it does not recognise one left
  // synchronised by an earlier run): a new ROM.
  testsupport::LabLpcProcess rom(dir.path());
  ASSERT_TRUE(rom.ok());

  testsupport::ProgramResult r = testsupport::RunProgram({kPeer, "-bin", "-verify", "-debug3", dir.file("image.bin"), rom.pty(), "115200", "14746"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Download Finished and Verified correct"), std::string::npos) << r.out;
  EXPECT_EQ(rom.Stop(), 0);
  std::string flash = rom.flash();
  ASSERT_EQ(flash.size(), testsupport::kLabLpcFlashSize);
  // The peer makes the vector table valid (words 0 to 7 sum to 0) and writes
  // everything else as it is.
  uint32_t total = 0;
  for (size_t w = 0; w < 8; w++)
    total += sWord(flash, 4 * w);
  EXPECT_EQ(total, 0u);
  EXPECT_EQ(flash.substr(0, 0x1C), image.substr(0, 0x1C));
  EXPECT_TRUE(flash.substr(0x20, image.size() - 0x20) == image.substr(0x20)) << "the flash differs from the image";
  EXPECT_NE(rom.account().find("\"started_at\": 0"), std::string::npos) << "the peer did not start the firmware";
}
