// A module stand-in for byte-level tests: a TCP listener on 127.0.0.1 that
// parses the host's frames itself and answers them as a test scripts it.
#pragma once
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace testsupport {

typedef std::vector<uint8_t> Bytes;

struct Frame {
  uint8_t address = 0;
  Bytes data;
};

class ScriptedPeer {
public:
  // Returns the raw bytes to send back for one frame from the host.
  typedef std::function<Bytes(const Frame&)> Responder;

  // `address` answers the address query (AD 00) when `answerQueries` is set.
  explicit ScriptedPeer(uint8_t address = 2, bool answerQueries = true);
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  uint16_t port() const { return port_; }
  // 127.0.0.1 in network byte order, as a link specifier holds it.
  static uint32_t LoopbackAddress();

  void setResponder(Responder responder);
  // A responder answering from a table: host frame (address, then data) -> reply bytes.
  static Responder Table(const std::map<Bytes, Bytes>& replies);
  void setAnswerQueries(bool answer) { answerQueries_ = answer; }
  // Bytes for the host, written at once on the current connection.
  void send(const Bytes& bytes);

  // The next frame from the host that is neither a control frame nor an
  // address query; false after `timeoutMS` without one.
  bool nextFrame(Frame* frame, int timeoutMS = 2000);
  // Frames received so far that nextFrame has not handed out.
  size_t pendingFrames();
  std::vector<Frame> controlFrames();
  int addressQueries() const { return queries_; }
  int connections() const { return connections_; }
  // Waits until the host closed its connection.
  bool awaitDisconnect(int timeoutMS = 2000);

private:
  void run();
  void serve(int fd);
  void handle(int fd, const Frame& frame);

  uint8_t address_;
  std::atomic<bool> answerQueries_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> queries_{0};
  std::atomic<int> connections_{0};
  std::atomic<int> current_{-1};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Frame> frames_;
  std::vector<Frame> control_;
  Responder responder_;
  bool connected_ = false;
  std::thread thread_;
};

}  // namespace testsupport
