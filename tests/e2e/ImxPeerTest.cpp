// Another host of NXP's Serial Download Protocol, Debian's imx_uart, loads a
// file into the lab i.MX boot ROM through its pty and reads it back: the lab
// is faithful to the protocol as others speak it, not only as the updater does.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "LabLpcSupport.h"
#include "LabServerSupport.h"
#include "TestSupport.h"

namespace {

const char* const kPeer = "/usr/bin/imx_uart";

}  // namespace

TEST(ImxPeer, ImxUartLoadsAndVerifiesAFileInTheLabRomsRam) {
  if (access(kPeer, X_OK) != 0)
    GTEST_SKIP() << "imx_uart is not installed (scripts/install-deps installs imx-usb-loader)";
  testsupport::TempDir dir;
  std::string image = testsupport::TestBytes(5000, 33);
  testsupport::WriteFile(dir.file("image.bin"), image);
  std::string conf = testsupport::ReadFile(testsupport::SourcePath("tests/e2e/peer/imx_uart_rt1050.conf"));
  ASSERT_FALSE(conf.empty());
  testsupport::WriteFile(dir.file("rt1050.conf"), conf + dir.file("image.bin") + ":load 0x20201000\n");

  // Also over the line paced at the rate imx_uart sets: a peer that waits for
  // its replies by the line finds them where a real ROM would put them.
  for (bool paced : {false, true}) {
    SCOPED_TRACE(paced ? "paced" : "unpaced");
    std::vector<std::string> lab = {testsupport::BinPath("updater-lab"), "imx", "--transport", "uart", "--link",
                                    dir.file("tty"), "--account", dir.file("account"), "--ram-out",
                                    "0x20201000:5000:" + dir.file("ram")};
    if (paced)
      lab.push_back("--pace");
    pid_t pid = -1;
    std::string banner = testsupport::StartUntilReady(lab, &pid);
    ASSERT_EQ(banner.compare(0, 5, "uart "), 0) << banner;
    // -N: the RT1050 has no association phase; -n: a pty has no RTS/CTS.
    testsupport::ProgramResult r =
        testsupport::RunProgram({kPeer, "-n", "-N", "-v", dir.file("tty"), dir.file("rt1050.conf")});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("HAB security state: development mode (0x56787856)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("status 0x88888888"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Verify success"), std::string::npos) << r.out;
    EXPECT_EQ(testsupport::StopChild(&pid), 0);
    EXPECT_TRUE(testsupport::ReadFile(dir.file("ram")) == image) << "the lab ROM's RAM does not hold the file";
    EXPECT_NE(testsupport::ReadFile(dir.file("account")).find("write-file 0x20201000 5000\n"), std::string::npos);
    std::remove(dir.file("ram").c_str());
    // Paced, the 5000 bytes take 0.43 s on the line.
    if (paced) {
      EXPECT_GT(r.seconds, 5000 * 10.0 / 115200);
    }
  }
}
