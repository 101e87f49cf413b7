#include "LabTestClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "LabNetwork.h"

namespace labtest {

namespace {

int NowMs() {
  using namespace std::chrono;
  return static_cast<int>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

RawClient::~RawClient() { close(); }

bool RawClient::connect(uint16_t port, const std::string& host) {
  close();
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, host.c_str(), &to.sin_addr);
  if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
    int saved = errno;
    close();
    errno = saved;
    return false;
  }
  closed_ = false;
  buffer_.clear();
  return true;
}

void RawClient::close() {
  if (fd_ >= 0)
    ::close(fd_);
  fd_ = -1;
}

void RawClient::sendBytes(const std::vector<uint8_t>& bytes) {
  ASSERT_GE(fd_, 0);
  ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

void RawClient::send(uint8_t address, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> bytes = {address, static_cast<uint8_t>(data.size())};
  bytes.insert(bytes.end(), data.begin(), data.end());
  sendBytes(bytes);
}

bool RawClient::fill(int timeoutMs) {
  if (fd_ < 0 || closed_)
    return false;
  struct pollfd p = {fd_, POLLIN, 0};
  if (poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs) <= 0)
    return false;
  uint8_t chunk[256];
  ssize_t n = recv(fd_, chunk, sizeof(chunk), 0);
  if (n <= 0) {
    closed_ = true;
    return false;
  }
  buffer_.insert(buffer_.end(), chunk, chunk + n);
  return true;
}

bool RawClient::next(Frame& frame, int timeoutMs) {
  int deadline = NowMs() + timeoutMs;
  for (;;) {
    if (buffer_.size() >= 2 && buffer_.size() >= 2u + buffer_[1]) {
      frame.address = buffer_[0];
      frame.data.assign(buffer_.begin() + 2, buffer_.begin() + 2 + buffer_[1]);
      buffer_.erase(buffer_.begin(), buffer_.begin() + 2 + buffer_[1]);
      return true;
    }
    if (!fill(deadline - NowMs()))
      return false;
  }
}

Frame RawClient::request(uint8_t address, const std::vector<uint8_t>& data, int timeoutMs) {
  send(address, data);
  Frame frame;
  int deadline = NowMs() + timeoutMs;
  while (next(frame, deadline - NowMs()))
    if (!(frame.data.size() == 2 && frame.data[0] == 0))
      return frame;
  return Frame();
}

std::vector<uint8_t> RawClient::readBytes(size_t count, int timeoutMs) {
  int deadline = NowMs() + timeoutMs;
  while (buffer_.size() < count && fill(deadline - NowMs())) {
  }
  size_t n = buffer_.size() < count ? buffer_.size() : count;
  std::vector<uint8_t> bytes(buffer_.begin(), buffer_.begin() + n);
  buffer_.erase(buffer_.begin(), buffer_.begin() + n);
  return bytes;
}

bool RawClient::dropped(int timeoutMs) {
  int deadline = NowMs() + timeoutMs;
  while (!closed_ && NowMs() < deadline)
    fill(deadline - NowMs());
  return closed_;
}

void LabTest::SetUp() {
  std::string why;
  if (!testsupport::EnterPrivateNetwork(&why))
    GTEST_SKIP() << why;
}

lab::LabModuleHost& LabTest::serve(const std::vector<std::string>& modules, const std::string& dumpDir) {
  std::vector<std::string> args;
  for (const std::string& spec : modules)
    args.insert(args.end(), {"--module", spec});
  if (!dumpDir.empty())
    args.insert(args.end(), {"--dump-dir", dumpDir});
  lab::LabConfig config;
  std::string error;
  EXPECT_TRUE(lab::ParseLabArguments(args, config, error)) << error;
  host_ = std::make_unique<lab::LabModuleHost>(config);
  EXPECT_TRUE(host_->start(error)) << error;
  return *host_;
}

std::vector<uint8_t> BE32(uint32_t value) {
  return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(value)};
}

}  // namespace labtest
