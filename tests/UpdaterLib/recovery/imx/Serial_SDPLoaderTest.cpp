// The SDP serial transport over a pseudo-terminal: the test holds the master
// side and plays the boot ROM's UART.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include "recovery/imx/Serial_SDPLoader.h"
#include "rom/ImxChip.h"
#include "rom/ImxUartPort.h"

namespace {

class Pty {
public:
  Pty() {
    char name[128] = {0};
    if (openpty(&master, &slave, name, nullptr, nullptr) == 0)
      path = name;
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  }
  ~Pty() {
    close(master);
    close(slave);
  }
  std::vector<uint8_t> Drain() {
    std::vector<uint8_t> got;
    uint8_t buffer[4096];
    for (int idle = 0; idle < 20; idle++) {
      ssize_t n = read(master, buffer, sizeof(buffer));
      if (n > 0) {
        got.insert(got.end(), buffer, buffer + n);
        idle = 0;
      } else {
        usleep(5000);
      }
    }
    return got;
  }
  int master = -1, slave = -1;
  std::string path;
};

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The lab i.MX chip behind its UART, paced like a real line at the rate the
// host sets, and the SDP loader over it at `baud`.
class PacedRom {
public:
  PacedRom(unsigned baud, const lab::ImxRomOptions& rom = lab::ImxRomOptions()) : chip(Options(rom), nullptr) {
    lab::ImxUartOptions line;
    line.pace = true;
    port.reset(new lab::ImxUartPort(chip, line));
    std::string error;
    if (port->start("", error)) {
      serial = new Serial_SDPLoader(port->path(), baud);
      sdp.setLoader(std::unique_ptr<SDPLoader_Interface>(serial));
    }
  }
  static lab::ImxChipOptions Options(const lab::ImxRomOptions& rom) {
    lab::ImxChipOptions options;
    options.rom = rom;
    return options;
  }
  // Line time of the exchanges a write-file of `bytes` needs at the least.
  double BoundSeconds(size_t bytes) const { return serial->lineTimeUS(16 + 8 + 16 + bytes + 8) / 1e6; }

  lab::ImxChip chip;
  std::unique_ptr<lab::ImxUartPort> port;
  SDPLoader sdp;
  Serial_SDPLoader* serial = nullptr;  // owned by sdp
};

std::vector<uint8_t> Payload(size_t size) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = 0x5EED;
  for (uint8_t& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return bytes;
}

std::string Account(const lab::ImxChip& chip) {
  std::string text;
  for (const std::string& line : chip.account())
    text += line + "\n";
  return text;
}

}  // namespace

// The port takes the bytes long before the line has carried them: the
// completion word is awaited from the line's own time, at whatever rate, and
// the transfer runs at the line's pace, not slower.
TEST(Serial_SDPLoader, OverAPacedLineTheLoaderArrivesWholeAtEveryRateAtLineSpeed) {
  const struct {
    unsigned baud;
    size_t bytes;
  } cases[] = {{9600, 2048}, {921600, 65536}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.baud);
    PacedRom rom(c.baud);
    ASSERT_NE(rom.serial, nullptr);
    std::vector<uint8_t> payload = Payload(c.bytes);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(rom.sdp.init(), 0);
    EXPECT_EQ(rom.sdp.writeLoader(payload, 0x20200000), 0) << Account(rom.chip);
    double seconds = Seconds(start);
    std::vector<uint8_t> ram;
    ASSERT_TRUE(rom.chip.readRam(0x20200000, uint32_t(c.bytes), ram));
    EXPECT_TRUE(ram == payload) << "RAM does not hold the payload";
    double bound = rom.BoundSeconds(c.bytes);
    EXPECT_GE(seconds, bound * 0.99);
    EXPECT_LT(seconds, bound * 1.2 + 0.1) << "bound " << bound;
    rom.port->stop();
  }
}

// A ROM that never answers is asked five times, each request given up when
// the line has carried it and a reply, plus the margin; a ROM that speaks
// during the data is heard while the data still goes out, because the host
// keeps no more than a packet ahead of the line.
TEST(Serial_SDPLoader, OverAPacedLineSilenceEndsByTheDeadlineAndChatterIsHeardInTime) {
  lab::ImxRomOptions silent;
  silent.answerStatusFrom = 0;
  PacedRom quiet(9600, silent);
  ASSERT_EQ(quiet.sdp.init(), 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(quiet.sdp.writeLoader(Payload(100), 0x20200000), SDPLoader::NO_ANSWER);
  double perAttempt = quiet.serial->lineTimeUS(16 + 8) / 1e6 + SDPLoader::kReplyTimeoutMS / 1000.0;
  EXPECT_GE(Seconds(start), 5 * perAttempt * 0.99);
  EXPECT_LT(Seconds(start), 5 * perAttempt + 0.3);
  quiet.port->stop();
  EXPECT_EQ(quiet.chip.account().size(), 5u);

  lab::ImxRomOptions chatty;
  chatty.chatter = true;
  PacedRom rom(115200, chatty);
  ASSERT_EQ(rom.sdp.init(), 0);
  EXPECT_EQ(rom.sdp.writeLoader(Payload(16384), 0x20200000), SDPLoader::DATA_DURING_WRITE);
}

TEST(Serial_SDPLoader, PacketsGoOutWithoutReportIdAndRepliesAreRaw) {
  Pty pty;
  ASSERT_FALSE(pty.path.empty());
  Serial_SDPLoader serial(pty.path);
  ASSERT_TRUE(serial.init());

  std::vector<uint8_t> command = {1, 5, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(serial.writeData(command), 16);
  EXPECT_EQ(pty.Drain(), std::vector<uint8_t>(command.begin() + 1, command.end()));
  std::vector<uint8_t> data(1025, 0xA5);
  data[0] = 2;
  data[1] = 0x0A;  // a line feed must not be turned into anything else
  data[2] = 0x0D;
  EXPECT_EQ(serial.writeData(data), 1024);
  EXPECT_EQ(pty.Drain(), std::vector<uint8_t>(data.begin() + 1, data.end()));

  // Security mode word, then the completion word, little-endian.
  const uint8_t reply[] = {0x56, 0x78, 0x78, 0x56, 0x88, 0x88, 0x88, 0x88, 0x0D, 0x0A, 0x11, 0x22};
  ASSERT_EQ(write(pty.master, reply, sizeof(reply)), static_cast<ssize_t>(sizeof(reply)));
  std::vector<uint8_t> got;
  EXPECT_EQ(serial.readData(got, 100), 12);
  EXPECT_EQ(got, std::vector<uint8_t>(reply, reply + sizeof(reply)));
  unsigned value = 0;
  EXPECT_TRUE(serial.getDataFromBuffer(got, 0, value));
  EXPECT_EQ(value, 0x88888888u);
  value = 0;
  EXPECT_TRUE(serial.getDataFromBuffer(got, 1, value));  // 12 bytes hold offsets 0 and 1
  EXPECT_EQ(value, 0x0D888888u);
  EXPECT_FALSE(serial.getDataFromBuffer(got, 2, value));
  got.resize(7);
  EXPECT_FALSE(serial.getDataFromBuffer(got, 0, value));
  // However many bytes came, without a security mode word first they are no reply.
  std::vector<uint8_t> junk(64, 'A');
  EXPECT_FALSE(serial.getDataFromBuffer(junk, 0, value));

  Serial_SDPLoader notATerminal("/dev/null"), missing("/nonexistent/tty");
  EXPECT_FALSE(notATerminal.init());
  EXPECT_FALSE(missing.init());
}

TEST(Serial_SDPLoader, AWriteThatCannotProceedGivesUpInBoundedTime) {
  Pty pty;
  Serial_SDPLoader serial(pty.path);
  ASSERT_TRUE(serial.init());
  // Nobody reads the master side: the line fills up, then stalls.
  std::vector<uint8_t> data(1025, 0x55);
  data[0] = 2;
  ssize_t written = 1024;
  double seconds = 0;
  for (int i = 0; i < 2000 && written == 1024; i++) {
    auto start = std::chrono::steady_clock::now();
    written = serial.writeData(data);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  EXPECT_LT(written, 1024);
  EXPECT_GE(seconds, 0.9);
  EXPECT_LT(seconds, 3.0);
}
