// The UART of the lab i.MX chip as a pseudo-terminal: a thread of its own
// hands the bytes a host writes to the chip and writes back what it sends.
// The lab keeps the slave side open, so the port outlives every host.
//
// Paced, it models the line: every byte in either direction takes 10 bit
// times at the rate the host set on its end, and the chip reads only a
// receive FIFO's worth ahead, so a host that writes faster than the line
// finds its bytes still on their way, as on a real UART.
#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <thread>
#include <vector>

namespace lab {

class ImxChip;

struct ImxUartOptions {
  bool pace = false;
  // The chip answers this long after the byte that completed a command or
  // the data (the ROM's own work, on top of the line).
  unsigned answerDelayMs = 0;
  // The answer to the lateStatus-th status request (counted from 1; 0 =
  // none) leaves lateMs later still, and the chip takes no byte until it has
  // gone: a ROM busy once.
  unsigned lateStatus = 0;
  unsigned lateMs = 0;
};

class ImxUartPort {
public:
  explicit ImxUartPort(ImxChip& chip, const ImxUartOptions& options = ImxUartOptions())
      : chip_(chip), options_(options) {}
  ~ImxUartPort();
  ImxUartPort(const ImxUartPort&) = delete;
  ImxUartPort& operator=(const ImxUartPort&) = delete;

  // Opens the pty (and makes `link`, when given, a symbolic link to it) and
  // starts the thread. False with `error` set when that fails.
  bool start(const std::string& link, std::string& error);
  void stop();
  const std::string& path() const { return path_; }

  // 10 bit times at `baud`, in milliseconds (0 when not paced).
  double byteMs(unsigned baud) const;

private:
  struct TimedByte {
    uint8_t byte;
    double atMs;  // in: it has fully arrived at the chip; out: it has fully left it
  };

  void run();
  void receive(double now);
  void feed(double now);
  void send(double now);
  void wait(double now);
  unsigned hostBaud() const;
  size_t readAhead() const;

  ImxChip& chip_;
  ImxUartOptions options_;
  int master_ = -1, slave_ = -1;
  std::string path_, link_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  // Owned by the thread.
  std::deque<TimedByte> in_, out_;
  double rxEndMs_ = 0, txEndMs_ = 0;
  double perByteMs_ = 0;
  bool blocked_ = false;
  bool backlog_ = false;  // the last read left bytes in the pty
  double busyUntilMs_ = 0;  // the chip takes no byte before this time
};

}  // namespace lab
