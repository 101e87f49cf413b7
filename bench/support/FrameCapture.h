// Watches, from inside a network namespace, the TCP bytes that arrive there
// for a range of ports, and splits them into link frames (address, length, data),
// each stamped with the time the kernel handed on the segment that carried
// its first byte: on a virtual Ethernet pair or loopback, the moment the
// sender sent it. Passive: the programs under measurement are not changed,
// and the kernel copies for it only the segments it reads, a cost their sends
// would carry otherwise. Needs root (a packet socket in the namespace).
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

struct CapturedFrame {
  double ms = 0;  // wall-clock milliseconds
  uint16_t port = 0;  // the port it was sent to
  uint8_t address = 0;
  std::vector<uint8_t> data;
};

class FrameCapture {
public:
  // An empty `netns` watches the namespace of the calling thread.
  FrameCapture(const std::string& netns, uint16_t port);
  // Every port from `firstPort` to `lastPort`, both included.
  FrameCapture(const std::string& netns, uint16_t firstPort, uint16_t lastPort);
  ~FrameCapture();
  FrameCapture(const FrameCapture&) = delete;
  FrameCapture& operator=(const FrameCapture&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  // Ends the capture; the frames of every connection in the order they were sent.
  std::vector<CapturedFrame> stop();
  // The capture thread's CPU clock, so that a measurement can leave it out (valid until stop()).
  clockid_t cpuClock();
  // Segments that arrived beyond a hole in a connection's byte stream (should be 0).
  unsigned gaps() const { return gaps_; }

private:
  struct Connection {
    bool started = false;
    uint32_t next = 0;  // sequence number of the next new byte
    std::vector<uint8_t> partial;
    double partialMs = 0;
  };

  int openSocket(const std::string& netns, void*& ring);
  void run(const std::string& netns);
  bool take(uint8_t* slot);
  void segment(const uint8_t* ip, size_t length, double ms);
  void bytes(Connection& c, uint16_t port, const uint8_t* data, size_t length, double ms);

  uint16_t firstPort_;
  uint16_t lastPort_;
  std::atomic<bool> running_{true};
  std::string error_;
  std::mutex mutex_;
  std::condition_variable opened_;
  bool ready_ = false;
  std::map<uint64_t, Connection> connections_;  // by source address and port, and port it goes to
  std::vector<CapturedFrame> frames_;
  unsigned gaps_ = 0;
  std::thread thread_;
};

}  // namespace bench
