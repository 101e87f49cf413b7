#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "Link.h"
#include "LinkConnect.h"
#include "PeerFixture.h"
#include "TestSupport.h"
#include "aLink.h"

using namespace Tessoral::Kovalink;
using namespace objtest;

namespace {

long long ElapsedMS(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

uei Request(uint8_t address, uint8_t command, uint8_t option, uint8_t specifier) {
  uei record{};
  record.address = address;
  record.command = command;
  record.option = option;
  record.specifier = specifier;
  return record;
}

}  // namespace

TEST(LinkStatusWait, EveryEngineStatusGivesItsConnectionResult) {
  auto fixed = [](int status) { return [status]() { return status; }; };
  EXPECT_EQ(awaitLinkRunning(fixed(aLinkStatusRunning), 0, 3), aErrNone);
  EXPECT_EQ(awaitLinkRunning(fixed(aLinkStatusStopping), 0, 3), aErrBusy);
  EXPECT_EQ(awaitLinkRunning(fixed(7), 0, 3), aErrDuplicate);
  EXPECT_EQ(awaitLinkRunning(fixed(9), 0, 3), aErrDuplicate);
  EXPECT_EQ(awaitLinkRunning(fixed(aLinkStatusNoStream), 0, 3), aErrConnection);
  EXPECT_EQ(awaitLinkRunning(fixed(aLinkStatusIOError), 0, 3), aErrConnection);
  EXPECT_EQ(awaitLinkRunning(fixed(aLinkStatusFailed), 0, 3), aErrConnection);

  // Starting, stopped and syncing are waited out, but only for the polls allowed.
  std::vector<int> script = {aLinkStatusStarting, aLinkStatusStopped, aLinkStatusSyncing, aLinkStatusRunning};
  size_t step = 0;
  int polls = 0;
  auto scripted = [&]() {
    ++polls;
    return script[std::min(step++, script.size() - 1)];
  };
  EXPECT_EQ(awaitLinkRunning(scripted, 0, 10), aErrNone);
  EXPECT_EQ(polls, 4);
  polls = 0;
  EXPECT_EQ(awaitLinkRunning([&]() { ++polls; return static_cast<int>(aLinkStatusSyncing); }, 0, 5), aErrConnection);
  EXPECT_EQ(polls, 6);
}

TEST(LinkSetup, ConnectionsNeedASpecifierAndALiveModule) {
  Module module(2);
  EXPECT_EQ(module.connect(linkTypeTCPIP, 0), aErrParam);
  EXPECT_EQ(module.reconnect(), aErrConfiguration);
  EXPECT_FALSE(module.isConnected());
  EXPECT_EQ(module.getStatus(), aLinkStatusFailed);
  linkSpec spec;
  EXPECT_EQ(module.getLinkSpecifier(&spec), aErrNotFound);

  Link named(std::string(2000, 'n').c_str());
  EXPECT_EQ(std::string(named.getName()).size(), 1024u);
  uint8_t address = 9;
  EXPECT_EQ(named.getModuleAddress(&address), aErrNotReady);
  EXPECT_EQ(address, 0);
}

class LinkPeerTest : public PeerTest {};

TEST_F(LinkPeerTest, NetworkingStepLearnsTheAddressAndLinksAreShared) {
  // The fixture's peer answers the address query with 2; a peer at 6 teaches the module its address.
  ScriptedPeer six(6);
  Module learner(2);
  ASSERT_EQ(learner.connectFromSpec(PeerSpec(six)), aErrNone);
  EXPECT_EQ(learner.getModuleAddress(), 6);
  EXPECT_TRUE(learner.isConnected());
  EXPECT_EQ(learner.getStatus(), aLinkStatusRunning);

  // Connecting again is refused and leaves the connection alone.
  EXPECT_EQ(learner.connectFromSpec(PeerSpec(*peer)), aErrBusy);
  EXPECT_EQ(six.connections(), 1);
  EXPECT_EQ(peer->connections(), 1);
  linkSpec spec{};
  ASSERT_EQ(learner.getLinkSpecifier(&spec), aErrNone);
  EXPECT_EQ(spec.port, six.port());
  EXPECT_EQ(learner.getLink()->setLinkSpecifier(PeerSpec(*peer)), aErrBusy);

  // Without networking the module keeps its address and asks nothing.
  int queries = six.addressQueries();
  Module quiet(8, false, 0);
  ASSERT_EQ(quiet.connectFromSpec(PeerSpec(six)), aErrNone);
  EXPECT_EQ(quiet.getModuleAddress(), 8);
  EXPECT_EQ(six.addressQueries(), queries);
  EXPECT_EQ(quiet.getLink()->getLinkRef(), learner.getLink()->getLinkRef());

  // Through a router: the router's transport, the module's own address.
  Module behind(10);
  ASSERT_EQ(behind.connectThroughLinkModule(&learner), aErrNone);
  EXPECT_EQ(behind.getModuleAddress(), 10);
  EXPECT_EQ(behind.getLink()->getLinkRef(), learner.getLink()->getLinkRef());
  EXPECT_EQ(behind.connectThroughLinkModule(&learner), aErrBusy);
  const uint8_t payload[] = {0xFF};
  EXPECT_EQ(behind.getLink()->sendPacket(10, 0x49, 1, payload), aErrNone);
  Frame frame;
  ASSERT_TRUE(six.nextFrame(&frame));
  EXPECT_EQ(frame.address, 10);
  EXPECT_EQ(frame.data, (Bytes{0x49, 0xFF}));

  Module nowhere(2);
  Module orphan(4);
  EXPECT_EQ(orphan.connectThroughLinkModule(&nowhere), aErrNotFound);
  EXPECT_EQ(orphan.connectThroughLinkModule(nullptr), aErrParam);

  // The engine link lives until its last user lets go; then the module hears the stop frame.
  EXPECT_EQ(behind.disconnect(), aErrNone);
  EXPECT_EQ(quiet.disconnect(), aErrNone);
  EXPECT_TRUE(learner.isConnected());
  EXPECT_EQ(learner.disconnect(), aErrNone);
  EXPECT_FALSE(learner.isConnected());
  ASSERT_TRUE(six.awaitDisconnect());
  std::vector<Frame> control = six.controlFrames();
  ASSERT_GE(control.size(), 2u);
  EXPECT_EQ(control.front().data, (Bytes{0x01}));
  EXPECT_EQ(control.back().data, (Bytes{0x00}));

  // A disconnected module reconnects from its stored specifier.
  EXPECT_EQ(learner.reconnect(), aErrNone);
  EXPECT_TRUE(learner.isConnected());
  EXPECT_EQ(six.connections(), 2);
}

TEST_F(LinkPeerTest, ConnectFailsOnAModuleThatIsGoneOrNeverSynchronises) {
  linkSpec closed = PeerSpec(*peer);
  {
    ScriptedPeer gone;
    closed.port = gone.port();
  }
  Module absent(2);
  EXPECT_EQ(absent.connectFromSpec(closed), aErrConnection);
  EXPECT_FALSE(absent.isConnected());
  EXPECT_EQ(absent.getStatus(), aLinkStatusFailed);  // nothing half-open is kept

  // A bad address byte makes the engine resynchronise; a peer that never
  // answers keeps it synchronising, and a connection gives up after 2 s.
  peer->setAnswerQueries(false);
  peer->send(Bytes{0x03});
  testsupport::WaitUntil([&] { return module->getStatus() == aLinkStatusSyncing; }, 1000);
  ASSERT_EQ(module->getStatus(), aLinkStatusSyncing);
  EXPECT_FALSE(module->isConnected());
  Module late(2, false, 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(late.connectFromSpec(PeerSpec(*peer)), aErrConnection);
  EXPECT_GE(ElapsedMS(start), 1900);
  EXPECT_LT(ElapsedMS(start), 4000);
  EXPECT_EQ(late.getStatus(), aLinkStatusFailed);
  // The first user still holds the engine link.
  EXPECT_EQ(module->getStatus(), aLinkStatusSyncing);
}

TEST_F(LinkPeerTest, RequestsAreFramedExactlyAndBadAddressesNeverLeave) {
  Link* link = module->getLink();
  uei record = Request(0, 3, 0x49, 0x20);
  EXPECT_EQ(link->sendUEI(record), aErrPacket);
  record.address = 5;
  EXPECT_EQ(link->sendUEI(record), aErrPacket);
  uint8_t payload[28] = {0};
  for (int i = 0; i < 28; ++i)
    payload[i] = static_cast<uint8_t>(i + 1);
  EXPECT_EQ(link->sendPacket(2, 0x17, 28, payload), aErrParam);
  EXPECT_EQ(link->sendPacket(3, 0x17, 1, payload), aErrPacket);
  EXPECT_EQ(link->sendPacket(0, 0x17, 1, payload), aErrPacket);

  record.address = 4;
  record.type = ueiTypeInt;
  record.value.intValue = 0x01020304;
  EXPECT_EQ(link->sendUEI(record), aErrNone);
  record.type = ueiTypeShort;
  record.value.shortValue = 0xBEEF;
  EXPECT_EQ(link->sendUEI(record, 7), aErrNone);
  EXPECT_EQ(link->sendPacket(2, 0x17, 27, payload), aErrNone);

  // Nothing from the refused calls reached the module: the first frame is the int set.
  EXPECT_EQ(next(), (Bytes{4, 3, 0x49, 0x20, 1, 2, 3, 4}));
  EXPECT_EQ(next(), (Bytes{4, 3, 0x49, 0x20, 7, 0xBE, 0xEF}));
  Bytes big = next();
  ASSERT_EQ(big.size(), 29u);
  EXPECT_EQ(big[1], 0x17);
  EXPECT_EQ(big[28], 27);
  EXPECT_EQ(peer->pendingFrames(), 0u);

  module->disconnect();
  EXPECT_EQ(link->sendPacket(2, 0x17, 1, payload), aErrConnection);
  EXPECT_EQ(link->sendUEI(record), aErrConnection);
  uei reply = Request(2, 3, 9, 0);
  EXPECT_EQ(link->receiveUEI(2, 3, 9, 0, &reply), aErrConnection);
}

TEST_F(LinkPeerTest, RepliesAreMatchedByAddressCommandOptionAndIndex) {
  Link* link = module->getLink();
  // Another address, another command, another option, another index: none is the reply.
  peer->send(Bytes{4, 7, 3, 9, 0, 0, 0, 0, 1});
  peer->send(Bytes{2, 7, 4, 9, 0, 0, 0, 0, 2});
  peer->send(Bytes{2, 7, 3, 8, 0, 0, 0, 0, 3});
  peer->send(Bytes{2, 7, 3, 9, 1, 0, 0, 0, 4});
  uei reply = Request(2, 3, 9, 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(link->receiveUEI(2, 3, 9, 0, &reply), aErrTimeout);
  EXPECT_GE(ElapsedMS(start), 950);

  // They stayed queued, in order, for whoever waits for them.
  reply = Request(2, 3, 8, 0);
  start = std::chrono::steady_clock::now();
  ASSERT_EQ(link->receiveUEI(2, 3, 8, 0, &reply), aErrNone);
  EXPECT_LT(ElapsedMS(start), 500);
  EXPECT_EQ(reply.type, ueiTypeInt);
  EXPECT_EQ(reply.value.intValue, 3u);
  reply = Request(4, 3, 9, 0);
  ASSERT_EQ(link->receiveUEI(4, 3, 9, 0, &reply), aErrNone);
  EXPECT_EQ(reply.value.intValue, 1u);

  // Dropping removes only what the pattern matches.
  EXPECT_EQ(link->dropMatchingUEIPackets(2, 4, 9, 0), aErrNone);
  EXPECT_EQ(link->dropMatchingUEIPackets(3, 4, 9, 0), aErrPacket);
  reply = Request(2, 4, 9, 0);
  EXPECT_EQ(link->receiveUEI(2, 4, 9, 0, &reply), aErrTimeout);
  reply = Request(2, 3, 9, 1);
  ASSERT_EQ(link->receiveUEI(2, 3, 9, 1, &reply), aErrNone);
  EXPECT_EQ(reply.value.intValue, 4u);
}

TEST_F(LinkPeerTest, ReplyLengthsDecideTheValueForm) {
  Link* link = module->getLink();
  struct Case {
    Bytes frame;
    ueiType type;
    uint32_t value;
  } cases[] = {
      {{2, 7, 3, 9, 0x00, 0x12, 0x34, 0x56, 0x78}, ueiTypeInt, 0x12345678},
      {{2, 5, 3, 9, 0x00, 0xAB, 0xCD}, ueiTypeShort, 0xABCD},
      {{2, 4, 3, 9, 0x00, 0x42}, ueiTypeByte, 0x42},
      {{2, 3, 3, 9, 0x00}, ueiTypeNone, 0x5A5A5A5A},
      // Six data bytes is no value form: accepted, but the record keeps what it had.
      {{2, 6, 3, 9, 0x00, 1, 2, 3}, ueiTypeShort, 0x5A5A5A5A},
  };
  for (const Case& c : cases) {
    peer->send(c.frame);
    uei reply = Request(2, 3, 9, 0);
    reply.type = ueiTypeShort;
    reply.value.intValue = 0x5A5A5A5A;
    ASSERT_EQ(link->receiveUEI(2, 3, 9, 0, &reply), aErrNone);
    EXPECT_EQ(reply.type, c.type);
    if (c.type == ueiTypeByte)
      EXPECT_EQ(reply.value.byteValue, c.value);
    else if (c.type == ueiTypeShort && c.frame[1] == 5)
      EXPECT_EQ(reply.value.shortValue, c.value);
    else
      EXPECT_EQ(reply.value.intValue, c.value);
  }
  // An error reply: specifier bit 7 and the module's code in the record.
  peer->send(Bytes{2, 4, 3, 9, 0x80, 0x1D});
  uei reply = Request(2, 3, 9, 0);
  ASSERT_EQ(link->receiveUEI(2, 3, 9, 0, &reply), aErrNone);
  EXPECT_EQ(reply.specifier, 0x80);
  EXPECT_EQ(reply.value.byteValue, 0x1D);
}

TEST_F(LinkPeerTest, RawRepliesMatchTheirLeadingBytesAndAddressQueriesNeedAnAnswer) {
  Link* link = module->getLink();
  // A shorter packet must not match just because the missing bytes read as zero,
  // and another module's packet is not the reply however alike it looks.
  peer->send(Bytes{2, 1, 0x49});
  peer->send(Bytes{6, 3, 0x49, 0x00, 0x09});
  peer->send(Bytes{2, 3, 0x49, 0x00, 0x07});
  const uint8_t match[] = {0x49, 0x00};
  uint8_t length = 2;
  uint8_t out[28] = {0};
  ASSERT_EQ(link->receivePacket(2, match, &length, out), aErrNone);
  EXPECT_EQ(length, 3);
  EXPECT_EQ(out[2], 0x07);
  length = 29;
  EXPECT_EQ(link->receivePacket(2, match, &length, out), aErrParam);
  length = 2;
  EXPECT_EQ(link->receivePacket(5, match, &length, out), aErrPacket);

  uint8_t address = 0;
  EXPECT_EQ(link->getModuleAddress(&address), aErrNone);
  EXPECT_EQ(address, 2);
  peer->setAnswerQueries(false);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(link->getModuleAddress(&address), aErrNotReady);
  EXPECT_EQ(address, 0);
  EXPECT_GE(ElapsedMS(start), 950);
}

TEST_F(LinkPeerTest, PacketLogWritesEveryFrameToItsFile) {
  testsupport::TempDir dir;
  const std::string path = dir.file("packets.log");
  Module unlinked(2);
  EXPECT_EQ(unlinked.enablePacketLog(path.c_str()), aErrConfiguration);

  peer->setResponder(ScriptedPeer::Table({{{2, 0x17, 0x01}, {2, 2, 0x17, 0x01}}}));
  ASSERT_EQ(module->enablePacketLog(path.c_str()), aErrNone);
  const uint8_t echo = 0x01;
  EXPECT_EQ(module->debug(&echo, 1), aErrNone);
  std::string text;
  // The reply is logged by the in-pipe, possibly after the caller has it.
  testsupport::WaitUntil(
      [&] {
        text = testsupport::ReadFile(path);
        return text.find("4 < ") != std::string::npos && text.find("4 > ") != std::string::npos;
      },
      1000);
  EXPECT_EQ(module->disablePacketLog(), aErrNone);
  EXPECT_NE(text.find(std::string("6 < START") + '\0' + "\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("4 > 0x2 0x2 0x17 0x1 \r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("4 < 0x2 0x2 0x17 0x1 \r\n"), std::string::npos) << text;
}
