// A module stand-in for byte-level tests: it parses the host's frames itself
// (address, length, data; it shares no code with the link engine) and answers
// them as a test scripts it. It either listens on 127.0.0.1, one connection at
// a time, or serves one end of a byte channel the test made (a socketpair or a
// pseudo-terminal's master).
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
  // The frame as it goes over the wire: address, length, data.
  Bytes bytes() const;
};

// Position of `pattern` in `bytes` at or after `from`, or -1.
long Find(const Bytes& bytes, const Bytes& pattern, size_t from = 0);
size_t Count(const Bytes& bytes, const Bytes& pattern);

class ScriptedPeer {
public:
  // Returns the raw bytes to send back for one frame from the host; it runs on
  // the peer's thread and may also call reply(), drop() and refuseFor().
  typedef std::function<Bytes(const Frame&)> Responder;
  // One end of a byte channel; the peer owns the descriptor from then on.
  struct Channel {
    int fd;
  };

  // Listens on loopback; `address` answers the address query (AD 00) when `answerQueries` is set.
  explicit ScriptedPeer(uint8_t address = 2, bool answerQueries = true);
  explicit ScriptedPeer(Channel channel, uint8_t address = 2, bool answerQueries = false);
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  uint16_t port() const { return port_; }
  // 127.0.0.1 in network byte order, as a link specifier holds it.
  static uint32_t LoopbackAddress();

  void setResponder(Responder responder);
  // A responder answering from a table: host frame (address, then data) -> reply bytes.
  static Responder Table(const std::map<Bytes, Bytes>& replies);
  // A responder sending every frame to `address` straight back (for round trips).
  static Responder Echo(uint8_t address);
  // Called on the peer's thread for every new connection, before its first frame is read.
  void setOnConnect(std::function<void()> onConnect);
  void setAnswerQueries(bool answer) { answerQueries_ = answer; }
  void setAddress(uint8_t address) { address_ = address; }

  // Bytes for the host, written at once on the current connection.
  void send(const Bytes& bytes);
  // One frame from the peer's address.
  void reply(const Bytes& data);
  // Closes the current connection (or the channel), as a module that drops its link.
  void drop();
  // Stops accepting connections for `ms` milliseconds: connects are refused, not left waiting.
  void refuseFor(unsigned ms);
  // Ends the connection and the peer's thread: no responder runs after it returns.
  void stop();

  // The next frame from the host that is neither a control frame nor an
  // address query; false after `timeoutMS` without one.
  bool nextFrame(Frame* frame, int timeoutMS = 2000);
  // Frames received so far that nextFrame has not handed out.
  size_t pendingFrames();
  std::vector<Frame> controlFrames();
  // Every byte the host sent, over all connections.
  Bytes wire();
  // Waits until `pattern` appeared `count` times in wire().
  bool waitFor(const Bytes& pattern, int timeoutMS, size_t count = 1);
  int addressQueries() const { return queries_; }
  int connections() const { return connections_; }
  // Waits until the host closed its connection.
  bool awaitDisconnect(int timeoutMS = 2000);

private:
  void start();
  bool listen();
  void closeListener();
  void run();
  void connection(int fd);
  void serve(int fd);
  void handle(const Frame& frame);

  const bool channel_;
  std::atomic<uint8_t> address_;
  std::atomic<bool> answerQueries_;
  int channelFd_ = -1;
  int listener_ = -1;  // only the peer's thread opens and closes it while it runs
  std::atomic<uint16_t> port_{0};  // set again (to the same port) when listening anew after a refusal
  std::atomic<bool> stop_{false};
  std::atomic<int> queries_{0};
  std::atomic<int> connections_{0};
  std::atomic<uint64_t> refuseUntil_{0};
  // The connection's descriptor: written to and shut down under writeMutex_,
  // closed only by the peer's thread, also under it.
  std::mutex writeMutex_;
  std::atomic<int> current_{-1};
  std::mutex mutex_;
  std::condition_variable changed_;
  Bytes wire_;
  std::vector<Frame> frames_;
  std::vector<Frame> control_;
  Responder responder_;
  std::function<void()> onConnect_;
  bool connected_ = false;
  std::thread thread_;
};

}  // namespace testsupport
