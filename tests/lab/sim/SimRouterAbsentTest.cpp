// A router with answer-absent=yes reports an empty network address at once,
// and only then: held addresses, routing off and non-UEI frames are unchanged.
#include <gtest/gtest.h>

#include "LabTestClient.h"

namespace {

using labtest::Frame;
using labtest::LabTest;
using labtest::RawClient;

class SimRouterAbsentTest : public LabTest {};

TEST_F(SimRouterAbsentTest, EmptyAddressGetsAnErrorReplyOnlyWhileRouting) {
  serve({"serial=0000D00D,address=2,port=9177,hb=0,router=yes,answer-absent=yes",
         "serial=00000B04,address=4,behind=0000D00D,fault=silent"});
  RawClient c;
  ASSERT_TRUE(c.connect(9177));
  Frame f;
  c.send(6, {0x03, 0x49, 0x20});
  EXPECT_FALSE(c.next(f, 200));  // routing is off: the router stays out of it

  EXPECT_EQ(c.request(2, {0x03, 0x94, 0x20, 0x01}), (Frame{2, {0x03, 0xD4, 0x00}}));
  // Serial-number get at an empty address: error reply (not found) from that address.
  EXPECT_EQ(c.request(6, {0x03, 0x49, 0x20}), (Frame{6, {0x03, 0x09, 0x80, 3}}));
  // A set keeps its set-reply option bits.
  EXPECT_EQ(c.request(252, {0x03, 0x94, 0x21, 0x01}), (Frame{252, {0x03, 0xD4, 0x81, 3}}));
  // A module that is there but silent is not declared absent.
  c.send(4, {0x03, 0x49, 0x20});
  EXPECT_FALSE(c.next(f, 200));
  // Frames that are no UEI request get no made-up answer.
  c.send(6, {0x49, 0xFF});
  EXPECT_FALSE(c.next(f, 200));
}

}  // namespace
