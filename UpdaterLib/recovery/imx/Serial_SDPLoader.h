// The boot ROM's Serial Download Protocol over a UART: commands and data go
// out raw (without the HID report ID); replies are a 4-byte security-mode
// word followed by the response word or data.
//
// The transport keeps its own model of the line: every byte takes 10 bit
// times at the port's rate. Replies are awaited from when the bytes written
// so far have left (by that model, not by tcdrain, which returns at once on a
// pseudo-terminal and early on USB adapters that buffer in the chip), and
// writes keep no more than one data packet queued ahead of the wire.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "recovery/imx/SDPLoader.h"

class PrivateSerial_SDPLoader;

class Serial_SDPLoader : public SDPLoader_Interface {
public:
  // A write that makes no progress for this long (plus the line time of the
  // packet) is given up.
  static constexpr unsigned kWriteStallMS = 1000;
  // What a reply the protocol awaits holds at the least: the security-mode
  // word and one response word. A read ends as soon as this much has come.
  static constexpr size_t kReplyBytes = 8;
  // What a write may queue ahead of the wire: one full data packet, so the
  // line never idles between packets and a word the ROM sends during the
  // data is seen within a packet of when it came; at high rates, where a
  // packet takes a few milliseconds, kAheadMS of the line, so a wake-up that
  // comes late on a busy machine does not leave the line idle.
  static constexpr size_t kAheadBytes = 1024;
  static constexpr unsigned kAheadMS = 20;

  // `baud` is the rate set on the port (the boot ROM's UART runs at 115200).
  explicit Serial_SDPLoader(const std::string& port, unsigned baud = 115200);
  ~Serial_SDPLoader() override;
  Serial_SDPLoader(const Serial_SDPLoader&) = delete;
  Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

  // 8N1 raw at the rate; false when the path does not open, is not a
  // terminal or does not take the rate.
  bool init() override;
  // Returns the bytes written: the packet less its report ID, or fewer when the port stalled or failed.
  ssize_t writeData(const std::vector<uint8_t>& packet) override;
  // timeout_ms 0: only what has arrived. Otherwise waits for a reply
  // (kReplyBytes) until the bytes still on their way have crossed the line
  // both ways, plus timeout_ms for the ROM to act; returns as soon as it is in.
  ssize_t readData(std::vector<uint8_t>& reply, unsigned timeout_ms) override;
  bool getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned offset, unsigned& value) override;
  bool accessDenied() const override;

  // Microseconds of line time the given bytes take at the port's rate.
  uint64_t lineTimeUS(size_t bytes) const;

private:
  std::unique_ptr<PrivateSerial_SDPLoader> d;
};
