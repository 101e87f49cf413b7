// The lab i.MX RT1050 chip on the emulated USB bus: its boot ROM's HID framing
// as hidapi sees it, and the recovery loader it starts joining the bus.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ImxChip.h"
#include "UsbLab.h"

using testsupport::ProgramResult;
using usbtest::UsbLab;

namespace {

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
