// The firmware-upgrade command and every fault knob, driven over TCP by a raw client.
#include <gtest/gtest.h>

#include <cerrno>
#include <numeric>
#include <thread>

#include "LabTestClient.h"
#include "TestSupport.h"

namespace {

using labtest::BE32;
using labtest::Frame;
using labtest::LabTest;
using labtest::RawClient;
using Bytes = std::vector<uint8_t>;

const uint8_t kUp = 0x5F;

Bytes Pattern(size_t count, uint8_t seed) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i)
    bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

uint32_t Sum(const Bytes& bytes) { return std::accumulate(bytes.begin(), bytes.end(), 0u); }

Bytes Data(const Bytes& bytes, size_t from, size_t count) {
  return Cat({kUp, 0x01}, Bytes(bytes.begin() + from, bytes.begin() + from + count));
}

Bytes Prepare(uint8_t flags, uint32_t address) { return Cat({kUp, 0x03, flags}, BE32(address)); }

Frame Status(uint8_t status, const Bytes& rest = {}) { return Frame{4, Cat({kUp, 0x07, status}, rest)}; }

// DATA chunks of up to 26 bytes, each expected to be accepted whole.
void SendChunks(RawClient& c, const Bytes& bytes) {
  for (size_t at = 0; at < bytes.size(); at += 26) {
    size_t n = std::min<size_t>(26, bytes.size() - at);
    EXPECT_EQ(c.request(4, Data(bytes, at, n)), (Frame{4, {kUp, 0x01, static_cast<uint8_t>(n)}})) << at;
  }
}

Bytes InfoBlock(const std::string& build, const std::string& version) {
  std::string info(64, ' ');
  info.replace(0, build.size(), build);
  info.replace(16, version.size(), version);
  info.replace(32, 8, "00000000");
  info.replace(48, 6, "Holvex");
  return Bytes(info.begin(), info.end());
}

class SimUpgradeTest : public LabTest {};

TEST_F(SimUpgradeTest, LoaderFirmwareAndRebootIntoTheNewBuild) {
  testsupport::TempDir dumps;
  serve({"serial=0000BEEF,address=4,port=9110,hb=0,block-size=32,reboot-delay=300,load-base=20000400,build=100"},
        dumps.path());
  RawClient c;
  ASSERT_TRUE(c.connect(9110));

  EXPECT_EQ(c.request(4, {kUp, 0x00}), (Frame{4, Cat({kUp, 0x00}, BE32(0x20000400))}));
  Bytes loader = Pattern(36, 1);
  EXPECT_EQ(c.request(4, Prepare(0, 0x20000000)), Status(0, {0x00, 0x20}));
  SendChunks(c, loader);
  EXPECT_EQ(c.request(4, {kUp, 0x04}), Status(0, BE32(Sum(loader))));
  EXPECT_EQ(c.request(4, {kUp, 0x02}), (Frame{4, {kUp, 0x02}}));
  EXPECT_EQ(host_->loader(0xBEEF), loader);
  EXPECT_EQ(testsupport::ReadFile(dumps.file("0000BEEF.loader.bin")), std::string(loader.begin(), loader.end()));

  // 128 image bytes carrying an information block, in pieces of the 32-byte block size.
  Bytes image = Cat(Cat(Pattern(40, 9), InfoBlock("4321", "2.1.26")), Pattern(24, 77));
  EXPECT_EQ(c.request(4, Prepare(1, 0x1000)), Status(0, {0x00, 0x20}));
  for (size_t at = 0; at < image.size(); at += 32) {
    Bytes piece(image.begin() + at, image.begin() + at + 32);
    SendChunks(c, piece);
    EXPECT_EQ(c.request(4, {kUp, 0x04}), Status(0, BE32(Sum(piece))));
    EXPECT_EQ(c.request(4, {kUp, 0x05, 0x00, 0x20}), Status(0));
  }
  uint32_t base = 0;
  EXPECT_EQ(host_->firmware(0xBEEF, &base), image);
  EXPECT_EQ(base, 0x1000u);
  EXPECT_EQ(testsupport::ReadFile(dumps.file("0000BEEF.bin")), std::string(image.begin(), image.end()));

  // A piece beyond the block size is refused; WRITE of more than was received fails.
  EXPECT_EQ(c.request(4, Data(image, 0, 26)), (Frame{4, {kUp, 0x01, 26}}));
  EXPECT_EQ(c.request(4, Data(image, 0, 26)), (Frame{4, {kUp, 0x01, 0}}));
  EXPECT_EQ(c.request(4, {kUp, 0x05, 0x00, 0x1B}), Status(1));
  EXPECT_EQ(host_->firmware(0xBEEF), image);

  // REBOOT: no reply, the link drops, links are refused for the delay, then the
  // module is back with the build of the image it holds.
  c.send(4, {kUp, 0x06});
  EXPECT_TRUE(c.dropped(500));
  RawClient again;
  EXPECT_FALSE(again.connect(9110));
  EXPECT_EQ(errno, ECONNREFUSED);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return again.connect(9110); }, 2000));
  EXPECT_EQ(again.request(4, {0x49, 0xFF}), (Frame{4, Cat({0x49, 0xFF}, BE32(4321))}));
  EXPECT_EQ(again.request(4, {0x03, 0x47, 0x20}), (Frame{4, Cat({0x03, 0x07, 0x00}, BE32(0x2100001A))}));
  EXPECT_EQ(host_->stats(0xBEEF).reboots, 1u);
  EXPECT_EQ(host_->firmware(0xBEEF), image);  // the firmware stays in memory
}

TEST_F(SimUpgradeTest, ResetAndImagesWithoutInformationBlock) {
  serve({"serial=0000BEEF,address=4,port=9111,hb=0,reboot-delay=200,build=100,next-build=101"});
  RawClient c;
  ASSERT_TRUE(c.connect(9111));
  // A reset (system option 11) is answered, then the module reboots with its build.
  EXPECT_EQ(c.request(4, {0x03, 0x8B, 0x20}), (Frame{4, {0x03, 0xCB, 0x00}}));
  EXPECT_TRUE(c.dropped(500));
  ASSERT_TRUE(testsupport::WaitUntil([&] { return c.connect(9111); }, 2000));
  EXPECT_EQ(c.request(4, {0x49, 0xFF}), (Frame{4, Cat({0x49, 0xFF}, BE32(100))}));
  // An image without an information block boots as next-build.
  Bytes image = Pattern(20, 3);
  EXPECT_EQ(c.request(4, Prepare(1, 0)), Status(0, {0x01, 0x00}));
  SendChunks(c, image);
  EXPECT_EQ(c.request(4, {kUp, 0x05, 0x00, 20}), Status(0));
  c.send(4, {kUp, 0x06});
  EXPECT_TRUE(c.dropped(500));
  ASSERT_TRUE(testsupport::WaitUntil([&] { return c.connect(9111); }, 2000));
  EXPECT_EQ(c.request(4, {0x49, 0xFF}), (Frame{4, Cat({0x49, 0xFF}, BE32(101))}));
}

TEST_F(SimUpgradeTest, ShortDataAndBadSumKnobs) {
  serve({"serial=0000BEEF,address=4,port=9112,hb=0,fault=short-data@2,fault=bad-sum@2"});
  RawClient c;
  ASSERT_TRUE(c.connect(9112));
  Bytes block = Pattern(52, 5);
  EXPECT_EQ(c.request(4, Prepare(0, 0x20000000)), Status(0, {0x01, 0x00}));
  EXPECT_EQ(c.request(4, Data(block, 0, 26)), (Frame{4, {kUp, 0x01, 26}}));
  EXPECT_EQ(c.request(4, Data(block, 26, 26)), (Frame{4, {kUp, 0x01, 20}}));  // refused in part
  EXPECT_EQ(c.request(4, Data(block, 26, 26)), (Frame{4, {kUp, 0x01, 26}}));  // sent again
  // The refused chunk was not kept: the sum covers every byte once.
  EXPECT_EQ(c.request(4, {kUp, 0x04}), Status(0, BE32(Sum(block))));

  EXPECT_EQ(c.request(4, Prepare(0, 0x20000100)), Status(0, {0x01, 0x00}));
  SendChunks(c, Bytes(block.begin(), block.begin() + 10));
  EXPECT_EQ(c.request(4, {kUp, 0x04}), Status(0, BE32(Sum(Bytes(block.begin(), block.begin() + 10)) + 1)));
}

TEST_F(SimUpgradeTest, PrepareStatusAndLoadReplyKnobs) {
  serve({"serial=0000BEEF,address=4,port=9113,hb=0,fault=prepare-status:5,fault=no-load-reply",
         "serial=0000CAFE,address=4,port=9114,hb=0,fault=late-load-reply"});
  RawClient c;
  ASSERT_TRUE(c.connect(9113));
  EXPECT_EQ(c.request(4, Prepare(0, 0x20000000)), Status(5, {0x01, 0x00}));
  EXPECT_EQ(c.request(4, Prepare(0, 0x20000000)), Status(0, {0x01, 0x00}));  // only the first
  c.send(4, {kUp, 0x02});
  Frame f;
  EXPECT_FALSE(c.next(f, 300));
  EXPECT_EQ(c.request(4, {0x49, 0xFF}).data[0], 0x49);  // still there, just silent about LOAD

  RawClient late;
  ASSERT_TRUE(late.connect(9114));
  late.send(4, {kUp, 0x02});
  EXPECT_FALSE(late.next(f, 300));
  ASSERT_TRUE(late.connect(9114));  // the host reconnects and starts its link
  late.send(0xAF, {0x01});
  ASSERT_TRUE(late.next(f, 500));
  EXPECT_EQ(f, (Frame{4, {kUp, 0x02}}));
}

TEST_F(SimUpgradeTest, StartedLoaderLeavesTheLinkAndRejoins) {
  serve({"serial=0000BEEF,address=4,port=9120,hb=0,reboot-delay=300,fault=rejoin-after-load,"
         "fault=late-load-reply"});
  RawClient c;
  ASSERT_TRUE(c.connect(9120));
  EXPECT_EQ(c.request(4, {kUp, 0x00}).data.size(), 6u);
  EXPECT_EQ(c.request(4, Prepare(0, 0x20000000)), Status(0, {0x01, 0x00}));
  SendChunks(c, Pattern(8, 2));
  c.send(4, {kUp, 0x02});
  EXPECT_TRUE(c.dropped(500));
  EXPECT_FALSE(c.connect(9120));  // away while the loader starts
  ASSERT_TRUE(testsupport::WaitUntil([&] { return c.connect(9120); }, 2000));
  c.send(0xAF, {0x01});
  Frame f;
  ASSERT_TRUE(c.next(f, 500));
  EXPECT_EQ(f, (Frame{4, {kUp, 0x02}}));  // the held-back LOAD confirmation
  EXPECT_EQ(host_->loader(0xBEEF), Pattern(8, 2));
  EXPECT_EQ(host_->stats(0xBEEF).reboots, 0u);  // still the loader, not a reboot
}

TEST_F(SimUpgradeTest, DropKnobDropsTheLinkAtItsStepOnly) {
  serve({"serial=0000BEEF,address=4,port=9115,hb=0,fault=drop:write"});
  RawClient c;
  ASSERT_TRUE(c.connect(9115));
  Bytes piece = Pattern(10, 1);
  EXPECT_EQ(c.request(4, Prepare(1, 0x1000)), Status(0, {0x01, 0x00}));
  SendChunks(c, piece);
  c.send(4, {kUp, 0x05, 0x00, 10});
  EXPECT_TRUE(c.dropped(500));
  EXPECT_TRUE(host_->firmware(0xBEEF).empty());
  // The module still takes links, and the second WRITE goes through.
  ASSERT_TRUE(c.connect(9115));
  EXPECT_EQ(c.request(4, Prepare(1, 0x1000)), Status(0, {0x01, 0x00}));
  SendChunks(c, piece);
  EXPECT_EQ(c.request(4, {kUp, 0x05, 0x00, 10}), Status(0));
  EXPECT_EQ(host_->firmware(0xBEEF), piece);
}

TEST_F(SimUpgradeTest, InterleaveKnobsSendDecoysBeforeEachReply) {
  serve({"serial=0000BEEF,address=4,port=9116,hb=0,fault=interleave-address,fault=interleave-command"});
  RawClient c;
  ASSERT_TRUE(c.connect(9116));
  Bytes reply = {0x03, 0x09, 0x00, 0x00, 0x00, 0xBE, 0xEF};
  c.send(4, {0x03, 0x49, 0x20});
  Frame f;
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(c.next(f));
    EXPECT_EQ(f, (Frame{6, reply}));  // as if from the module at address 6
    ASSERT_TRUE(c.next(f));
    Bytes otherCommand = reply;
    otherCommand[0] = 0x43;
    EXPECT_EQ(f, (Frame{4, otherCommand}));
    ASSERT_TRUE(c.next(f));
    EXPECT_EQ(f, (Frame{4, reply}));
    c.send(4, {0x03, 0x49, 0x20});
  }
  // The address query is left alone: decoys there would break synchronisation.
  c.readBytes(100, 200);
  EXPECT_EQ(c.request(0xAD, {}), (Frame{4, {}}));
}

TEST_F(SimUpgradeTest, GarbageSilentAndRefuseKnobs) {
  serve({"serial=0000BEEF,address=4,port=9117,hb=0,fault=garbage,fault=garbage:query@2",
         "serial=0000CAFE,address=4,port=9118,hb=1,fault=silent",
         "serial=0000F00D,address=4,port=9119,fault=refuse-link"});
  RawClient c;
  ASSERT_TRUE(c.connect(9117));
  c.send(0xAF, {0x01});
  Bytes burst = c.readBytes(16, 500);
  ASSERT_EQ(burst.size(), 16u);
  EXPECT_EQ(burst[0] & 1, 1);  // an odd first byte is no frame start
  EXPECT_EQ(c.request(4, {0x49, 0xFF}).data.size(), 6u);  // first query: clean
  c.send(4, {0x49, 0xFF});
  burst = c.readBytes(16, 500);
  EXPECT_EQ(burst[0], 0x03);
  Frame f;
  ASSERT_TRUE(c.next(f));  // the reply still follows the burst
  EXPECT_EQ(f.data, Bytes({0x49, 0xFF, 0, 0, 0, 1}));

  RawClient silent;
  ASSERT_TRUE(silent.connect(9118));
  silent.send(0xAD, {});
  silent.send(4, {0x03, 0x49, 0x20});
  EXPECT_FALSE(silent.next(f, 400));  // no answers, no heartbeats

  RawClient refused;
  EXPECT_FALSE(refused.connect(9119));
  EXPECT_EQ(errno, ECONNREFUSED);
}

}  // namespace
