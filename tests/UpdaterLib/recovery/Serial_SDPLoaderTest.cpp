// The SDP serial transport over a pseudo-terminal: the test holds the master
// side and plays the boot ROM's UART.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>

#include "recovery/Serial_SDPLoader.h"

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

}  // namespace

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
