// Simulated modules driven over TCP by a raw client: what a host relies on.
#include <gtest/gtest.h>

#include <thread>

#include "LabTestClient.h"

namespace {

using labtest::BE32;
using labtest::Frame;
using labtest::LabTest;
using labtest::RawClient;
using Bytes = std::vector<uint8_t>;

class SimModuleTest : public LabTest {};

TEST_F(SimModuleTest, AnswersAddressQueryIdentityOptionsQueriesAndEcho) {
  serve({"serial=0000BEEF,model=17,address=4,port=9100,hb=0,version=2.1.26,build=4000,name=Holvex-bench-unit-"
         "number-one,id=11:22:33:44"});
  RawClient c;
  ASSERT_TRUE(c.connect(9100));
  c.send(0xAF, {0x01});  // link start: no answer of its own
  EXPECT_EQ(c.request(0xAD, {}), (Frame{4, {}}));

  EXPECT_EQ(c.request(4, {0x03, 0x49, 0x20}), (Frame{4, {0x03, 0x09, 0x00, 0x00, 0x00, 0xBE, 0xEF}}));
  EXPECT_EQ(c.request(4, {0x03, 0x48, 0x20}), (Frame{4, {0x03, 0x08, 0x00, 17}}));
  EXPECT_EQ(c.request(4, {0x03, 0x47, 0x20}), (Frame{4, {0x03, 0x07, 0x00, 0x21, 0x00, 0x00, 0x1A}}));
  EXPECT_EQ(c.request(4, {0x03, 0x41, 0x20}), (Frame{4, {0x03, 0x01, 0x00, 4}}));
  EXPECT_EQ(c.request(4, {0x03, 0x42, 0x20}), (Frame{4, {0x03, 0x02, 0x00, 4}}));
  EXPECT_EQ(c.request(4, {0x49, 0xFF}), (Frame{4, {0x49, 0xFF, 0x00, 0x00, 0x0F, 0xA0}}));

  // Heartbeat interval: set, then read back; LED takes 1 for any non-zero value.
  EXPECT_EQ(c.request(4, {0x03, 0x83, 0x20, 0x00}), (Frame{4, {0x03, 0xC3, 0x00}}));
  EXPECT_EQ(c.request(4, {0x03, 0x43, 0x20}), (Frame{4, {0x03, 0x03, 0x00, 0x00}}));
  EXPECT_EQ(c.request(4, {0x03, 0x84, 0x20, 0x07}), (Frame{4, {0x03, 0xC4, 0x00}}));
  EXPECT_EQ(c.request(4, {0x03, 0x44, 0x20}), (Frame{4, {0x03, 0x04, 0x00, 0x01}}));

  // Chip identifier words by subindex; a fifth word does not exist.
  for (uint8_t sub = 0; sub < 4; ++sub) {
    Bytes expected = {0x03, 39, 0x00};
    Bytes word = BE32(0x11u * (sub + 1));
    expected.insert(expected.end(), word.begin(), word.end());
    EXPECT_EQ(c.request(4, {0x03, 0x40 | 39, 0x20, sub}), (Frame{4, expected})) << int(sub);
  }
  EXPECT_EQ(c.request(4, {0x03, 0x40 | 39, 0x20, 4}), (Frame{4, {0x03, 39, 0x80, 26}}));

  // Error replies carry the code after a specifier with bit 7 set.
  EXPECT_EQ(c.request(4, {0x03, 0x40 | 50, 0x20}), (Frame{4, {0x03, 50, 0x80, 29}}));   // no such option
  EXPECT_EQ(c.request(4, {0x03, 0x49, 0x21}), (Frame{4, {0x03, 0x09, 0x81, 26}}));      // index 1
  EXPECT_EQ(c.request(4, {0x03, 0x89, 0x20, 0, 0, 0, 1}), (Frame{4, {0x03, 0xC9, 0x80, 12}}));  // read-only
  EXPECT_EQ(c.request(4, {0x03, 0x83, 0x20}), (Frame{4, {0x03, 0xC3, 0x80, 27}}));      // value missing
  EXPECT_EQ(c.request(4, {0x03, 0x94, 0x20, 0x01}), (Frame{4, {0x03, 0xD4, 0x80, 21}}));  // not a router
  EXPECT_EQ(c.request(4, {0x07, 0x41, 0x20}), (Frame{4, {0x07, 0x01, 0x80, 28}}));      // no such entity

  // Module-level queries echo their arguments.
  EXPECT_EQ(c.request(4, {0x49, 0x01, 0x03, 0x09, 0x00, 0x40}), (Frame{4, {0x49, 0x01, 0x03, 0x09, 0x00, 1}}));
  EXPECT_EQ(c.request(4, {0x49, 0x01, 0x03, 0x09, 0x00, 0x80}), (Frame{4, {0x49, 0x01, 0x03, 0x09, 0x00, 0}}));
  EXPECT_EQ(c.request(4, {0x49, 0x04, 0x03}), (Frame{4, {0x49, 0x04, 0x03, 1}}));
  EXPECT_EQ(c.request(4, {0x49, 0x05, 0x03, 0x00}), (Frame{4, {0x49, 0x05, 0x03, 0x00, 0}}));

  Bytes echo = {0x17, 'p', 'i', 'n', 'g', 0x00, 0xFF};
  EXPECT_EQ(c.request(4, echo), (Frame{4, echo}));

  // The name as a byte-array read: sequenced replies, bit 7 while more follow.
  c.send(4, {0x03, 0x40 | 32, 0x20});
  std::string name;
  Frame f;
  for (uint8_t sequence = 0;; ++sequence) {
    ASSERT_TRUE(c.next(f));
    ASSERT_GE(f.data.size(), 4u);
    EXPECT_EQ(Bytes(f.data.begin(), f.data.begin() + 3), (Bytes{0x03, 32, 0x00}));
    EXPECT_EQ(f.data.back() & 0x7F, sequence);
    name.append(f.data.begin() + 3, f.data.end() - 1);
    if (!(f.data.back() & 0x80))
      break;
  }
  EXPECT_EQ(name, "Holvex-bench-unit-number-one");

  // Frames for other addresses go unanswered.
  c.send(6, {0x03, 0x49, 0x20});
  EXPECT_FALSE(c.next(f, 200));
  EXPECT_GE(host_->stats(0xBEEF).ignored, 1u);

  // What came in is kept for the test to inspect, in order.
  std::vector<lab::SimFrame> in = host_->received(0xBEEF);
  ASSERT_GE(in.size(), 3u);
  EXPECT_EQ(in[0].address, 0xAF);
  EXPECT_EQ(in[1].address, 0xAD);
  EXPECT_EQ(in[2].data, Bytes({0x03, 0x49, 0x20}));
  EXPECT_EQ(in.back().address, 6);
}

TEST_F(SimModuleTest, SendsHeartbeatsAtItsIntervalAndChecksTheAnswers) {
  serve({"serial=0000BEEF,address=4,port=9101,hb=1"});  // every 100 ms
  RawClient c;
  ASSERT_TRUE(c.connect(9101));
  Frame f;
  ASSERT_TRUE(c.next(f, 500));
  EXPECT_EQ(f, (Frame{4, {0x00, 0x00}}));
  c.send(4, {0x00, 0x02});  // h + 2
  ASSERT_TRUE(c.next(f, 500));
  EXPECT_EQ(f, (Frame{4, {0x00, 0x01}}));
  c.send(4, {0x00, 0x01});  // wrong: h instead of h + 2
  ASSERT_TRUE(c.next(f, 500));
  EXPECT_EQ(f, (Frame{4, {0x00, 0x02}}));
  // no answer to this one
  ASSERT_TRUE(c.next(f, 500));
  EXPECT_EQ(f, (Frame{4, {0x00, 0x03}}));
  lab::SimModuleStats s = host_->stats(0xBEEF);
  EXPECT_EQ(s.heartbeatsAnswered, 1u);
  EXPECT_EQ(s.heartbeatsWrong, 1u);
  EXPECT_EQ(s.heartbeatsMissed, 1u);

  // The host's stop frame ends the heartbeats; a zero interval has none at all.
  c.send(0xAF, {0x00});
  while (c.next(f, 150)) {
  }
  EXPECT_FALSE(c.next(f, 300));
}

TEST_F(SimModuleTest, RouterForwardsToItsNetworkOnlyWhileRoutingIsOn) {
  serve({"serial=D272031D,address=254,port=9102,hb=0,router=yes", "serial=00000004,address=4,behind=D272031D,build=7",
         "serial=0000000A,address=10,behind=D272031D,model=14"});
  RawClient c;
  ASSERT_TRUE(c.connect(9102));
  Frame f;
  c.send(4, {0x03, 0x49, 0x20});
  EXPECT_FALSE(c.next(f, 200));  // routing is off

  EXPECT_EQ(c.request(254, {0x03, 0x94, 0x20, 0x01}), (Frame{254, {0x03, 0xD4, 0x00}}));
  EXPECT_EQ(c.request(4, {0x03, 0x49, 0x20}), (Frame{4, {0x03, 0x09, 0x00, 0, 0, 0, 0x04}}));
  EXPECT_EQ(c.request(10, {0x03, 0x48, 0x20}), (Frame{10, {0x03, 0x08, 0x00, 14}}));
  EXPECT_EQ(c.request(4, {0x49, 0xFF}), (Frame{4, {0x49, 0xFF, 0, 0, 0, 7}}));
  // A module behind a router names the router's address as its router.
  EXPECT_EQ(c.request(10, {0x03, 0x42, 0x20}), (Frame{10, {0x03, 0x02, 0x00, 254}}));
  // The address query is answered by the module at the end of the link.
  EXPECT_EQ(c.request(0xAD, {}), (Frame{254, {}}));
  c.send(6, {0x03, 0x49, 0x20});  // nobody at 6
  EXPECT_FALSE(c.next(f, 200));

  EXPECT_EQ(c.request(254, {0x03, 0x94, 0x20, 0x00}), (Frame{254, {0x03, 0xD4, 0x00}}));
  c.send(4, {0x03, 0x49, 0x20});
  EXPECT_FALSE(c.next(f, 200));
}

TEST_F(SimModuleTest, NewConnectionReplacesTheOldLink) {
  serve({"serial=0000BEEF,address=4,port=9103,hb=0"});
  RawClient first, second;
  ASSERT_TRUE(first.connect(9103));
  EXPECT_EQ(first.request(0xAD, {}), (Frame{4, {}}));
  ASSERT_TRUE(second.connect(9103));
  EXPECT_EQ(second.request(0xAD, {}), (Frame{4, {}}));
  EXPECT_TRUE(first.dropped(500));
  EXPECT_EQ(host_->stats(0xBEEF).links, 2u);
}

}  // namespace
