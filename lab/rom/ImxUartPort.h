// The UART of the lab i.MX chip as a pseudo-terminal: a thread of its own
// hands the bytes a host writes to the chip and writes back what it sends.
// The lab keeps the slave side open, so the port outlives every host.
#pragma once
#include <atomic>
#include <string>
#include <thread>

namespace lab {

class ImxChip;

class ImxUartPort {
public:
  explicit ImxUartPort(ImxChip& chip) : chip_(chip) {}
  ~ImxUartPort();
  ImxUartPort(const ImxUartPort&) = delete;
  ImxUartPort& operator=(const ImxUartPort&) = delete;

  // Opens the pty (and makes `link`, when given, a symbolic link to it) and
  // starts the thread. False with `error` set when that fails.
  bool start(const std::string& link, std::string& error);
  void stop();
  const std::string& path() const { return path_; }

private:
  void run();

  ImxChip& chip_;
  int master_ = -1, slave_ = -1;
  std::string path_, link_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace lab
