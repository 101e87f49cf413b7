// The lab i.MX boot ROM: the Serial Download Protocol as a raw host speaks it
// over the pty of `updater-lab imx`, and two fault knobs on the UART framing.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "rom/ImxChip.h"
#include "LabLpcSupport.h"
#include "LabServerSupport.h"
#include "TestSupport.h"

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes Command(uint16_t code, uint32_t address, uint8_t format, uint32_t count) {
  Bytes c = {uint8_t(code >> 8), uint8_t(code), uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8),
             uint8_t(address), format, uint8_t(count >> 24), uint8_t(count >> 16), uint8_t(count >> 8), uint8_t(count)};
  c.resize(16, 0);
  return c;
}

Bytes Words(std::initializer_list<uint32_t> words) {
  Bytes out;
  for (uint32_t w : words)
    for (int i = 0; i < 4; ++i)
      out.push_back(uint8_t(w >> (8 * i)));
  return out;
}

Bytes Pattern(size_t size) {
  std::string s = testsupport::TestBytes(size, 5);
  return Bytes(s.begin(), s.end());
}

// A host on the ROM's pty that writes raw bytes and reads what comes back.
class RawHost {
public:
  explicit RawHost(const std::string& path) : fd(open(path.c_str(), O_RDWR | O_NOCTTY)) {
    struct termios t;
    if (fd >= 0 && tcgetattr(fd, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(fd, TCSANOW, &t);
    }
  }
  ~RawHost() {
    if (fd >= 0)
      close(fd);
  }
  void send(const Bytes& bytes) { ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
  // Everything that arrives until `count` bytes are in or `ms` pass quietly.
  Bytes read(size_t count, int ms = 500) {
    Bytes out;
    while (out.size() < count) {
      struct pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, ms) <= 0)
        break;
      uint8_t buffer[4096];
      ssize_t n = ::read(fd, buffer, sizeof(buffer));
      if (n <= 0)
        break;
      out.insert(out.end(), buffer, buffer + n);
    }
    return out;
  }
  int fd;
};

const Bytes kAck = Words({lab::kImxHabOpen, lab::kImxAck});
const Bytes kComplete = Words({lab::kImxHabOpen, lab::kImxWriteComplete});
const Bytes kHab = Words({lab::kImxHabOpen});

}  // namespace

TEST(ImxRom, RawHostOverThePtyWritesReadsAndStartsTheLoader) {
  testsupport::TempDir dir;
  pid_t pid = -1;
  std::string banner = testsupport::StartUntilReady(
      {testsupport::BinPath("updater-lab"), "imx", "--transport", "uart", "--id", "11111111:22222222:3:4",
       "--account", dir.file("account"), "--ram-out", "0x20000000:3000:" + dir.file("ram")},
      &pid);
  ASSERT_EQ(banner.compare(0, 5, "uart "), 0) << banner;
  RawHost host(banner.substr(5, banner.find('\n') - 5));
  ASSERT_GE(host.fd, 0);

  host.send(Command(0x0505, 0, 0, 0));
  EXPECT_EQ(host.read(8), kAck);
  host.send(Command(0x0101, lab::kImxFuseCfg1, 0x20, 4));
  EXPECT_EQ(host.read(8), Words({lab::kImxHabOpen, 0x22222222}));

  // Nothing comes back while the data is on its way; the completion after it.
  Bytes data = Pattern(3000);
  host.send(Command(0x0404, 0x20000000, 0x20, 3000));
  host.send(Bytes(data.begin(), data.begin() + 1024));
  EXPECT_EQ(host.read(1, 100), Bytes());
  host.send(Bytes(data.begin() + 1024, data.end()));
  EXPECT_EQ(host.read(8), kComplete);
  host.send(Command(0x0101, 0x20000000, 0x20, 3000));
  Bytes back = host.read(4 + 3000);
  ASSERT_EQ(back.size(), 3004u);
  EXPECT_TRUE(Bytes(back.begin() + 4, back.end()) == data);

  // No RAM there: the data is taken and refused, and the status says so.
  host.send(Command(0x0404, 0x60000000, 0x20, 16));
  host.send(Bytes(16, 0xAA));
  EXPECT_EQ(host.read(8), Words({lab::kImxHabOpen, lab::kImxRefused}));
  host.send(Command(0x0B0B, 0x70000000, 0, 0));
  EXPECT_EQ(host.read(8), Words({lab::kImxHabOpen, lab::kImxRefused}));

  // A jump to a loader: the security word, then the ROM is gone.
  lab::ImxLabLoader loader;
  Bytes image = loader.encode(200);
  host.send(Command(0x0404, 0x20010000, 0x20, uint32_t(image.size())));
  host.send(image);
  EXPECT_EQ(host.read(8), kComplete);
  host.send(Command(0x0B0B, 0x20010000, 0, 0));
  EXPECT_EQ(host.read(8), kHab);
  host.send(Command(0x0505, 0, 0, 0));
  EXPECT_EQ(host.read(1, 200), Bytes());

  EXPECT_EQ(testsupport::StopChild(&pid), 0);
  EXPECT_EQ(testsupport::ReadFile(dir.file("ram")), std::string(data.begin(), data.end()));
  std::string account = testsupport::ReadFile(dir.file("account"));
  EXPECT_NE(account.find("write-file 0x20000000 3000\n"), std::string::npos) << account;
  EXPECT_NE(account.find("write-file 0x60000000 16 refused\n"), std::string::npos) << account;
  EXPECT_NE(account.find("jump 0x20010000 loader\n"), std::string::npos) << account;
}

// The knobs the end-to-end tests do not reach (those cover the slow and
// silent status, chatter and a wrong completion word).
TEST(ImxRom, MissingCompletionAndADamagedLoader) {
  auto run = [](lab::ImxChip& chip, const Bytes& bytes) {
    Bytes reply;
    chip.uart(bytes.data(), bytes.size(), reply);
    return reply;
  };
  lab::ImxChipOptions options;
  options.rom.noCompletion = true;
  lab::ImxChip silent(options, nullptr);
  run(silent, Command(0x0404, 0x20000000, 0x20, 3000));
  EXPECT_EQ(run(silent, Pattern(3000)), kHab);

  // A loader with one byte changed is no loader: the chip hangs.
  lab::ImxChip chip(lab::ImxChipOptions(), nullptr);
  Bytes image = lab::ImxLabLoader().encode(64);
  image[60] ^= 1;
  Bytes command = Command(0x0404, 0x20000000, 0x20, uint32_t(image.size()));
  command.insert(command.end(), image.begin(), image.end());
  EXPECT_EQ(run(chip, command), kComplete);
  EXPECT_EQ(run(chip, Command(0x0B0B, 0x20000000, 0, 0)), kHab);
  EXPECT_EQ(chip.state(), lab::ImxRom::State::Hung);
  EXPECT_EQ(chip.loaderStarts(), 0u);
}
