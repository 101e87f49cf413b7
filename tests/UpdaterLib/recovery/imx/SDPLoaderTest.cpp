// SDPLoader against an in-memory boot ROM that speaks HID reports, so the
// real HID reply rule decides what counts as an answer.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "recovery/imx/HID_SDPLoader.h"
#include "recovery/imx/SDPLoader.h"

namespace {

std::vector<uint8_t> Word(unsigned w) {
  return {uint8_t(w), uint8_t(w >> 8), uint8_t(w >> 16), uint8_t(w >> 24)};
}

// Report 3 (security mode, counted as 5 bytes) and a 65-byte report 4 holding `word`.
std::vector<uint8_t> HidReply(unsigned word) {
  std::vector<uint8_t> reply = {3, 0x12, 0x8A, 0x8A, 0x12, 4};
  std::vector<uint8_t> w = Word(word);
  reply.insert(reply.end(), w.begin(), w.end());
  reply.resize(70, 0);
  return reply;
}

// A ROM script: sees every packet written and queues what the next reads return.
class ScriptedRom : public HID_SDPLoader {
public:
  ScriptedRom() : HID_SDPLoader(IMX1050::VID, IMX1050::PID) {}
  bool init() override { return opens; }
  ssize_t writeData(const std::vector<uint8_t>& packet) override {
    writes.push_back(packet);
    if (onWrite)
      onWrite(packet);
    return shortAt == writes.size() ? 3 : static_cast<ssize_t>(packet.size());
  }
  ssize_t readData(std::vector<uint8_t>& reply, unsigned) override {
    reply.insert(reply.end(), pending.begin(), pending.end());
    ssize_t n = static_cast<ssize_t>(pending.size());
    pending.clear();
    return n;
  }
  bool IsStatus(const std::vector<uint8_t>& p) const { return p.size() == 17 && p[0] == 1 && p[1] == 5 && p[2] == 5; }
  unsigned StatusCount() const {
    unsigned n = 0;
    for (const auto& p : writes)
      n += IsStatus(p);
    return n;
  }

  bool opens = true;
  size_t shortAt = 0;  // 1-based write that goes out short
  std::vector<std::vector<uint8_t>> writes;
  std::vector<uint8_t> pending;
  std::function<void(const std::vector<uint8_t>&)> onWrite;
};

// A ROM that answers the `answerFrom`-th status request on (0: none), confirms
// a completed write with `completion`, and queues `noise` after data packet `noiseAfter`.
ScriptedRom* MakeRom(unsigned answerFrom = 1, unsigned completion = 0x88888888, unsigned noiseAfter = 0) {
  ScriptedRom* rom = new ScriptedRom;
  auto statusSeen = std::make_shared<unsigned>(0);
  auto expected = std::make_shared<uint32_t>(0);
  auto dataSeen = std::make_shared<unsigned>(0);
  rom->onWrite = [=](const std::vector<uint8_t>& p) {
    if (rom->IsStatus(p)) {
      if (answerFrom != 0 && ++*statusSeen >= answerFrom)
        rom->pending = HidReply(0x12345678);
    } else if (p[0] == 1 && p[1] == 4) {
      *expected = uint32_t(p[8]) << 24 | uint32_t(p[9]) << 16 | uint32_t(p[10]) << 8 | p[11];
    } else if (p[0] == 2) {
      ++*dataSeen;
      if (noiseAfter != 0 && *dataSeen == noiseAfter)
        rom->pending = {4, 1, 2};
      *expected -= static_cast<uint32_t>(p.size() - 1);
      if (*expected == 0 && completion != 0)
        rom->pending = HidReply(completion);
    }
  };
  return rom;
}

std::vector<uint8_t> Payload(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; i++)
    bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  return bytes;
}

}  // namespace

TEST(SDPLoader, BlockGoesOutAsOneWriteFileAndDataPacketsOfAtMost1024) {
  SDPLoader loader;
  ScriptedRom* rom = MakeRom();
  ASSERT_TRUE(loader.setLoader(std::unique_ptr<SDPLoader_Interface>(rom)));
  ASSERT_EQ(loader.init(), 0);
  std::vector<uint8_t> payload = Payload(3000);
  EXPECT_EQ(loader.writeLoader(payload, 0x20001000), 0);
  ASSERT_EQ(rom->writes.size(), 5u);
  EXPECT_TRUE(rom->IsStatus(rom->writes[0]));
  EXPECT_EQ(rom->writes[0], std::vector<uint8_t>({1, 5, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  // Write file: address and count big-endian, 32-bit format.
  EXPECT_EQ(rom->writes[1],
            std::vector<uint8_t>({1, 4, 4, 0x20, 0x00, 0x10, 0x00, 0x20, 0, 0, 0x0B, 0xB8, 0, 0, 0, 0, 0}));
  std::vector<uint8_t> sent;
  size_t sizes[] = {1025, 1025, 953};
  for (int i = 0; i < 3; i++) {
    const std::vector<uint8_t>& p = rom->writes[2 + i];
    EXPECT_EQ(p.size(), sizes[i]);
    EXPECT_EQ(p[0], 2);
    sent.insert(sent.end(), p.begin() + 1, p.end());
  }
  EXPECT_EQ(sent, payload);

  loader.startLoader(0x20000400);
  EXPECT_EQ(rom->writes.back(),
            std::vector<uint8_t>({1, 0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(SDPLoader, StatusIsAskedAtMostFiveTimes) {
  {
    SDPLoader loader;
    ScriptedRom* rom = MakeRom(3);
    loader.setLoader(std::unique_ptr<SDPLoader_Interface>(rom));
    EXPECT_EQ(loader.writeLoader(Payload(10), 0x20000000), 0);
    EXPECT_EQ(rom->StatusCount(), 3u);
    EXPECT_EQ(rom->writes.size(), 5u);
  }
  {
    SDPLoader loader;
    ScriptedRom* rom = MakeRom(0);
    loader.setLoader(std::unique_ptr<SDPLoader_Interface>(rom));
    EXPECT_EQ(loader.writeLoader(Payload(10), 0x20000000), SDPLoader::NO_ANSWER);
    EXPECT_EQ(rom->writes.size(), 5u);
    EXPECT_EQ(rom->StatusCount(), 5u);
    uint64_t fp = 1;
    EXPECT_EQ(loader.getFingerprint(fp), SDPLoader::NO_ANSWER);
    EXPECT_EQ(fp, 1u);
  }
}

TEST(SDPLoader, TransferFaultsAreReportedByTheirCodes) {
  struct Case {
    const char* what;
    unsigned completion, noiseAfter;
    size_t shortAt;
    int expected;
    size_t writes;
  } cases[] = {
      {"bytes between data packets", 0x88888888, 1, 0, SDPLoader::DATA_DURING_WRITE, 3},
      {"wrong completion word", 0x12345678, 0, 0, SDPLoader::NOT_CONFIRMED, 5},
      {"no completion word", 0, 0, 0, SDPLoader::NOT_CONFIRMED, 5},
      {"a data packet that does not go out", 0x88888888, 0, 3, SDPLoader::NOT_CONFIRMED, 3},
  };
  for (const Case& c : cases) {
    SDPLoader loader;
    ScriptedRom* rom = MakeRom(1, c.completion, c.noiseAfter);
    rom->shortAt = c.shortAt;
    loader.setLoader(std::unique_ptr<SDPLoader_Interface>(rom));
    EXPECT_EQ(loader.writeLoader(Payload(3000), 0x20000000), c.expected) << c.what;
    EXPECT_EQ(rom->writes.size(), c.writes) << c.what;
  }
}

TEST(SDPLoader, FingerprintReadsTheTwoFuseWords) {
  SDPLoader loader;
  ScriptedRom* rom = MakeRom();
  std::function<void(const std::vector<uint8_t>&)> status = rom->onWrite;
  bool garble = false;
  rom->onWrite = [&](const std::vector<uint8_t>& p) {
    if (p[1] != 1)
      return status(p);
    uint32_t address = uint32_t(p[3]) << 24 | uint32_t(p[4]) << 16 | uint32_t(p[5]) << 8 | p[6];
    rom->pending = HidReply(address == 0x401F4410 ? 0x11223344 : address == 0x401F4420 ? 0xAABBCCDD : 0);
    if (garble)
      rom->pending.pop_back();
  };
  loader.setLoader(std::unique_ptr<SDPLoader_Interface>(rom));
  uint64_t fp = 0;
  ASSERT_EQ(loader.getFingerprint(fp), 0);
  EXPECT_EQ(fp, 0xAABBCCDD11223344ull);
  EXPECT_EQ(rom->writes[1], std::vector<uint8_t>({1, 1, 1, 0x40, 0x1F, 0x44, 0x10, 0x20, 0, 0, 0, 4, 0, 0, 0, 0, 0}));
  garble = true;
  EXPECT_EQ(loader.getFingerprint(fp), SDPLoader::UNREADABLE_REPLY);
}

TEST(SDPLoader, HidRepliesAndTransportOwnership) {
  HID_SDPLoader hid(IMX1050::VID, IMX1050::PID);
  std::vector<uint8_t> reply = HidReply(0xF0F0F0F0);
  reply[10] = 0x78;  // the next word's first byte: offset 4
  unsigned value = 0x0F;
  EXPECT_TRUE(hid.getDataFromBuffer(reply, 0, value));
  EXPECT_EQ(value, 0xF0F0F0FFu);  // OR-ed in
  value = 0;
  EXPECT_TRUE(hid.getDataFromBuffer(reply, 4, value));
  EXPECT_EQ(value, 0x78u);
  EXPECT_FALSE(hid.getDataFromBuffer(reply, 16, value));
  reply.push_back(0);
  EXPECT_FALSE(hid.getDataFromBuffer(reply, 0, value));
  reply.resize(69);
  EXPECT_FALSE(hid.getDataFromBuffer(reply, 0, value));

  SDPLoader loader;
  EXPECT_EQ(loader.init(), 1);  // no transport
  EXPECT_FALSE(loader.setLoader(nullptr));
  ScriptedRom* first = MakeRom();
  first->opens = false;
  EXPECT_TRUE(loader.setLoader(std::unique_ptr<SDPLoader_Interface>(first)));
  // A refused transport is released with the call, not leaked.
  EXPECT_FALSE(loader.setLoader(std::unique_ptr<SDPLoader_Interface>(MakeRom())));
  EXPECT_EQ(loader.init(), 6);  // the first one's init failed
  EXPECT_EQ(loader.writeLoader(Payload(1), 0), 0);
  EXPECT_FALSE(first->writes.empty());
}
