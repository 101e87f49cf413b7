// A raw TCP client that speaks frames to a simulated module, written
// independently of the updater's link code, plus a fixture that runs a lab host
// in-process inside a private network namespace.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/ModuleHost.h"

namespace labtest {

struct Frame {
  uint8_t address = 0;
  std::vector<uint8_t> data;
  bool operator==(const Frame& other) const { return address == other.address && data == other.data; }
};

class RawClient {
public:
  RawClient() = default;
  ~RawClient();
  // Connects to host:port; false (with errno kept) when refused.
  bool connect(uint16_t port, const std::string& host = "127.0.0.1");
  void close();
  void send(uint8_t address, const std::vector<uint8_t>& data);
  void sendBytes(const std::vector<uint8_t>& bytes);
  // The next complete frame within the time-out; false when none came.
  bool next(Frame& frame, int timeoutMs = 1000);
  // Sends a request and returns the first frame that answers it (skipping heartbeats).
  Frame request(uint8_t address, const std::vector<uint8_t>& data, int timeoutMs = 1000);
  // Raw bytes that arrive within the time-out (buffered bytes first).
  std::vector<uint8_t> readBytes(size_t count, int timeoutMs = 1000);
  // True when the module closed or reset the connection within the time-out.
  bool dropped(int timeoutMs = 1000);

private:
  bool fill(int timeoutMs);
  int fd_ = -1;
  bool closed_ = false;
  std::vector<uint8_t> buffer_;
};

class LabTest : public ::testing::Test {
protected:
  void SetUp() override;
  // Starts an in-process host serving the given module specs; fails the test on error.
  lab::LabModuleHost& serve(const std::vector<std::string>& modules, const std::string& dumpDir = "");
  std::unique_ptr<lab::LabModuleHost> host_;
};

std::vector<uint8_t> BE32(uint32_t value);

}  // namespace labtest
