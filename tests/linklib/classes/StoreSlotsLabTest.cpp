// Store slots and factory data moved between the object layer and lab modules.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "FactoryData.h"
#include "LabModuleFixture.h"
#include "PeerFixture.h"
#include "StoreSlots.h"

using namespace Tessoral::Kovalink;
using objtest::LabModuleTest;
using objtest::PeerTest;

namespace {

const uint32_t kSerial = 0x0000BEEF;
const uint8_t kAddress = 4;

std::vector<uint8_t> Pattern(size_t length, uint8_t seed) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i)
    bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
}

unsigned OpenHandles(lab::LabModuleHost& host, uint32_t serial) {
  unsigned open = 0;
  host.inspect(serial, [&open](const lab::SimModule& m) { open = m.store().openHandles(); });
  return open;
}

}  // namespace

TEST_F(LabModuleTest, SlotsAreWrittenInSummedChunksAndReadBack) {
  serve({"serial=0000BEEF,address=4,port=9100,slots=2:4:100"});
  Link& link = *connect(9100, kAddress).getLink();

  size_t capacity = 0, size = 99;
  ASSERT_EQ(link.storeSlotCapacity(kAddress, 1, 3, &capacity), aErrNone);
  EXPECT_EQ(capacity, 100u);
  ASSERT_EQ(link.storeSlotSize(kAddress, 1, 3, &size), aErrNone);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(link.storeSlotCapacity(kAddress, 2, 0, &capacity), aErrIndexRange);

  // 60 bytes travel as 25, 25 and 10, then the slot is closed.
  const std::vector<uint8_t> sixty = Pattern(60, 1);
  ASSERT_EQ(link.loadStoreSlot(kAddress, 1, 3, sixty.data(), sixty.size()), aErrNone);
  std::vector<size_t> writes;
  for (const auto& frame : received(kSerial, {4}))
    if (frame[1] == 7 || frame[1] == 8)
      writes.push_back(frame[1] == 7 ? frame.size() - 3 : 0);
  EXPECT_EQ(writes, (std::vector<size_t>{25, 25, 10, 0}));
  host->inspect(kSerial, [&](const lab::SimModule& m) { EXPECT_EQ(m.store().contents(1, 3), sixty); });
  ASSERT_EQ(link.storeSlotSize(kAddress, 1, 3, &size), aErrNone);
  EXPECT_EQ(size, 60u);

  std::vector<uint8_t> back(100, 0);
  size_t count = 0;
  ASSERT_EQ(link.unloadStoreSlot(kAddress, 1, 3, back.data(), back.size(), &count), aErrNone);
  ASSERT_EQ(count, 60u);
  EXPECT_TRUE(std::equal(sixty.begin(), sixty.end(), back.begin()));

  // A full slot read into a smaller buffer fills it and says it overran.
  const std::vector<uint8_t> hundred = Pattern(100, 9);
  ASSERT_EQ(link.loadStoreSlot(kAddress, 0, 0, hundred.data(), hundred.size()), aErrNone);
  std::vector<uint8_t> forty(40, 0);
  EXPECT_EQ(link.unloadStoreSlot(kAddress, 0, 0, forty.data(), forty.size(), &count), aErrOverrun);
  EXPECT_EQ(count, 40u);
  EXPECT_TRUE(std::equal(forty.begin(), forty.end(), hundred.begin()));

  // Beyond the slot's capacity the module refuses the chunk; the slot is still closed.
  const std::vector<uint8_t> tooMuch = Pattern(101, 3);
  EXPECT_EQ(link.loadStoreSlot(kAddress, 0, 1, tooMuch.data(), tooMuch.size()), aErrOverrun);
  EXPECT_EQ(OpenHandles(*host, kSerial), 0u);
}

TEST_F(LabModuleTest, SlotFaultsFailTheTransferAndStillCloseTheSlot) {
  serve({"serial=0000A001,address=4,port=9101,fault=refuse-open@0",
         "serial=0000A002,address=6,port=9102,fault=slot-bad-sum@2",
         "serial=0000A003,address=8,port=9103,fault=no-reply:slot-close,fault=no-reply:slot-size@2"});
  const std::vector<uint8_t> data = Pattern(60, 5);
  std::vector<uint8_t> buffer(100, 0);
  size_t count = 0;

  Link& refusing = *connect(9101, 4).getLink();
  EXPECT_EQ(refusing.loadStoreSlot(4, 0, 0, data.data(), data.size()), aErrMedia);
  EXPECT_EQ(refusing.unloadStoreSlot(4, 0, 0, buffer.data(), buffer.size(), &count), aErrMedia);

  // The second chunk's sum is wrong: no third chunk, but a close.
  Link& badSum = *connect(9102, 6).getLink();
  EXPECT_EQ(badSum.loadStoreSlot(6, 0, 2, data.data(), data.size()), aErrIO);
  std::vector<uint8_t> operations;
  for (const auto& frame : received(0x0000A002, {4}))
    operations.push_back(frame[1]);
  EXPECT_EQ(operations, (std::vector<uint8_t>{4, 7, 7, 8}));
  EXPECT_EQ(OpenHandles(*host, 0x0000A002), 0u);

  // Data is written only once the module said so: an unanswered close fails the write.
  Link& silentClose = *connect(9103, 8).getLink();
  EXPECT_EQ(silentClose.loadStoreSlot(8, 1, 1, data.data(), 10), aErrTimeout);
  size_t size = 0;
  EXPECT_EQ(silentClose.storeSlotSize(8, 1, 1, &size), aErrNone);
  EXPECT_EQ(silentClose.storeSlotSize(8, 1, 1, &size), aErrTimeout);
}

// A write answered with a reply of a length no acknowledgement has is not
// taken as written; the slot is closed all the same.
TEST_F(PeerTest, SlotWriteReplyOfAnotherLengthIsNoAcknowledgement) {
  peer->setResponder([](const testsupport::Frame& frame) -> testsupport::Bytes {
    const testsupport::Bytes& d = frame.data;
    if (d.size() >= 3 && d[0] == 4 && d[1] == 4)
      return {2, 5, 4, 4, d[2], d[3], 7};
    if (d.size() >= 3 && d[0] == 4 && d[1] == 7)
      return {2, 5, 4, 7, 7, 0, 0};  // five data bytes: neither a sum nor an error
    if (d.size() >= 3 && d[0] == 4 && d[1] == 8)
      return {2, 4, 4, 8, 7, 0};
    return {};
  });
  const uint8_t bytes[3] = {1, 2, 3};
  EXPECT_EQ(module->getLink()->loadStoreSlot(2, 0, 0, bytes, sizeof(bytes)), aErrIO);
  std::vector<uint8_t> operations;
  testsupport::Frame frame;
  while (peer->nextFrame(&frame, 200))
    operations.push_back(frame.data.size() > 1 ? frame.data[1] : 0);
  EXPECT_EQ(operations, (std::vector<uint8_t>{4, 7, 8}));
}

TEST_F(LabModuleTest, FactoryDataOfOneFullPacketAndOfSeveral) {
  serve({"serial=0000BEEF,address=4,port=9104"});
  Link& link = *connect(9104, kAddress).getLink();

  // Exactly 26 bytes fill one packet, so reading needs a second request and a
  // buffer with room for one byte more.
  const std::vector<uint8_t> full = Pattern(26, 11);
  ASSERT_EQ(link.setFactoryData(kAddress, 3, full.data(), full.size()), aErrNone);
  host->inspect(kSerial, [&](const lab::SimModule& m) { EXPECT_EQ(m.store().factoryItem(3), full); });
  std::vector<uint8_t> buffer(27, 0);
  size_t count = 0;
  EXPECT_EQ(link.getFactoryData(kAddress, 3, buffer.data(), 26, &count), aErrOverrun);
  ASSERT_EQ(link.getFactoryData(kAddress, 3, buffer.data(), 27, &count), aErrNone);
  ASSERT_EQ(count, 26u);
  EXPECT_TRUE(std::equal(full.begin(), full.end(), buffer.begin()));
  const auto reads = received(kSerial, {0x5E});
  ASSERT_GE(reads.size(), 3u);
  EXPECT_EQ(reads[reads.size() - 3], (std::vector<uint8_t>{0x5E, 0x43}));
  EXPECT_EQ(reads[reads.size() - 2], (std::vector<uint8_t>{0x5E, 0x03}));
  EXPECT_EQ(reads.back(), (std::vector<uint8_t>{0x5E, 0x20, 0x00, 26}));

  const std::vector<uint8_t> several = Pattern(60, 2);
  ASSERT_EQ(link.setFactoryData(kAddress, 5, several.data(), several.size()), aErrNone);
  std::vector<size_t> payloads;
  for (const auto& frame : received(kSerial, {0x5E}))
    if (frame[1] & 0x10)
      payloads.push_back(frame.size() - 2);
  EXPECT_EQ(std::vector<size_t>(payloads.end() - 3, payloads.end()), (std::vector<size_t>{26, 26, 8}));
  std::vector<uint8_t> back(100, 0);
  ASSERT_EQ(link.getFactoryData(kAddress, 5, back.data(), back.size(), &count), aErrNone);
  ASSERT_EQ(count, 60u);
  EXPECT_TRUE(std::equal(several.begin(), several.end(), back.begin()));

  // More than the module keeps for an item: its own code comes back, the item is unchanged.
  const std::vector<uint8_t> huge = Pattern(300, 4);
  EXPECT_EQ(link.setFactoryData(kAddress, 5, huge.data(), huge.size()), aErrOverrun);
  host->inspect(kSerial, [&](const lab::SimModule& m) { EXPECT_EQ(m.store().factoryItem(5), several); });
}

// The transfers as classes of their own over a link: they use the link's
// current engine link, and refuse one that is gone.
TEST_F(LabModuleTest, SlotAndFactoryTransfersWorkOverAnyLinkTheyAreGiven) {
  serve({"serial=0000BEEF,address=4,port=9108,slots=1:1:40"});
  Link& link = *connect(9108, kAddress).getLink();
  StoreSlots slots(link);
  FactoryData factory(link);

  const std::vector<uint8_t> bytes = Pattern(30, 9);
  ASSERT_EQ(slots.load(kAddress, 0, 0, bytes.data(), bytes.size()), aErrNone);
  size_t size = 0, count = 0;
  ASSERT_EQ(slots.size(kAddress, 0, 0, &size), aErrNone);
  EXPECT_EQ(size, 30u);
  std::vector<uint8_t> back(40, 0);
  ASSERT_EQ(slots.unload(kAddress, 0, 0, back.data(), back.size(), &count), aErrNone);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), back.begin()));
  ASSERT_EQ(factory.set(kAddress, 2, bytes.data(), 5), aErrNone);
  ASSERT_EQ(factory.get(kAddress, 2, back.data(), back.size(), &count), aErrNone);
  EXPECT_EQ(count, 5u);

  ASSERT_EQ(link.disconnect(), aErrNone);
  EXPECT_EQ(slots.size(kAddress, 0, 0, &size), aErrConnection);
  EXPECT_EQ(factory.set(kAddress, 2, bytes.data(), 5), aErrConnection);
  ASSERT_EQ(link.connect(), aErrNone);
  EXPECT_EQ(slots.capacity(kAddress, 0, 0, &size), aErrNone);
  EXPECT_EQ(size, 40u);
  host->inspect(kSerial, [](const lab::SimModule& m) { EXPECT_EQ(m.store().openHandles(), 0u); });
}
