// The lab's i.MX RT1050 chip: its boot ROM behind the two SDP framings (UART
// bytes, HID reports), and what runs after the ROM hands over the processor:
// a lab recovery loader that joins the emulated USB bus as a module, then the
// firmware that module received. Thread-safe: the HID side runs on umockdev's
// thread (with the lab's lock held), the UART side on the pty's.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "usb/HidReportSink.h"
#include "rom/ImxRom.h"

namespace lab {

class LabUsbHost;
class SimModule;

struct ImxChipOptions {
  ImxRomOptions rom;
  // The serial number the module's firmware runs under when neither the
  // image's information block nor the loader (other than DEADDEAD) names one.
  uint32_t moduleSerial = 0x0000C0DE;
  uint32_t loaderRebootMs = 300;  // a reset loader or rebooting module is gone this long
  // UART: never drops a partial command, however long the silence after it;
  // every byte counts towards a 16-byte block from the first one on. A host
  // that sends anything but whole blocks leaves this chip misaligned for good.
  bool strict = false;
};

class ImxChip : public HidReportSink {
public:
  // `bus` (may be null: nothing ever appears) must outlive the chip.
  ImxChip(const ImxChipOptions& options, LabUsbHost* bus);

  // HID framing: report 1 a command, report 2 data; reports 3 (security
  // word) and 4 (response, 64 bytes each) go back.
  void report(const std::vector<uint8_t>& bytes, std::vector<std::vector<uint8_t>>& replies) override;
  // UART framing: 16-byte commands, then raw data; the bytes the chip sends
  // back are appended to `reply`. `nowMs` (any steady clock) lets the chip
  // drop a partial command after a silence; 0 = never.
  void uart(const uint8_t* bytes, size_t count, std::vector<uint8_t>& reply, uint64_t nowMs = 0);

  ImxRom::State state() const;
  std::vector<std::string> account() const;
  bool readRam(uint32_t address, uint32_t count, std::vector<uint8_t>& out) const;
  unsigned loaderStarts() const;
  // Status requests received, answered or not.
  unsigned statusRequests() const;
  // The payload sizes of the HID data reports (report 2) received, in order.
  std::vector<size_t> dataReports() const;
  // The serial number the firmware runs under, 0 until a firmware booted.
  uint32_t firmwareSerial() const;

private:
  void afterCommand();
  void loaderLeft(const SimModule& loader);

  ImxChipOptions options_;
  LabUsbHost* bus_;
  mutable std::mutex mutex_;
  ImxRom rom_;
  std::vector<uint8_t> command_;  // UART: the command block so far
  uint64_t lastByteMs_ = 0;
  std::vector<size_t> dataReports_;
  unsigned loaderStarts_ = 0;
  bool loaderRunning_ = false;
  uint32_t firmwareSerial_ = 0;
};

}  // namespace lab
