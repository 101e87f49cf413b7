#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <string>
#include <termios.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "LinkTestChannels.h"
#include "aStream.h"

namespace {

// A transport scripted byte by byte: -1 stands for "not ready", -2 for end of data.
struct Script {
  std::deque<int> input;
  std::string output;
  int writeCalls = 0;
  int putCalls = 0;
  bool deleted = false;
  std::vector<unsigned long> waits;  // time-outs the wait operation was given
};

aErr cbGet(uint8_t* byte, void* reference) {
  Script* s = static_cast<Script*>(reference);
  if (s->input.empty())
    return aErrEOF;
  int next = s->input.front();
  if (next == -2)
    return aErrEOF;
  s->input.pop_front();
  if (next == -1)
    return aErrNotReady;
  *byte = static_cast<uint8_t>(next);
  return aErrNone;
}
aErr cbPut(uint8_t byte, void* reference) {
  Script* s = static_cast<Script*>(reference);
  s->putCalls++;
  s->output.push_back(static_cast<char>(byte));
  return aErrNone;
}
aErr cbWrite(const uint8_t* bytes, size_t n, void* reference) {
  Script* s = static_cast<Script*>(reference);
  s->writeCalls++;
  s->output.append(reinterpret_cast<const char*>(bytes), n);
  return aErrNone;
}
aErr cbDelete(void* reference) {
  static_cast<Script*>(reference)->deleted = true;
  return aErrNone;
}
aErr cbWait(unsigned long timeoutMS, void* reference) {
  static_cast<Script*>(reference)->waits.push_back(timeoutMS);
  return aErrNotReady;
}

void Feed(Script& s, const std::string& text) {
  for (unsigned char c : text)
    s.input.push_back(c);
}

}  // namespace

TEST(aStream, ReadIsAllOrNothing) {
  Script script;
  script.input = {'a', 'b', -1, 'c', 'd', 'e', -2};
  aStream* stream = aStream_Create(cbGet, nullptr, nullptr, cbDelete, &script);
  ASSERT_NE(stream, nullptr);
  uint8_t buffer[8] = {0};
  // Without a wait operation the stream can only be looked at again later.
  EXPECT_EQ(aStream_AwaitReadable(stream, 50), aErrNotReady);
  EXPECT_EQ(aStream_SetWait(stream, cbWait), aErrNone);
  EXPECT_EQ(aStream_Read(stream, buffer, 4), aErrNotReady);
  // Bytes handed back are there at once; the transport is not asked.
  EXPECT_EQ(aStream_AwaitReadable(stream, 1000), aErrNone);
  EXPECT_TRUE(script.waits.empty());
  EXPECT_EQ(aStream_Read(stream, buffer, 2), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 2), "ab");
  EXPECT_EQ(aStream_AwaitReadable(stream, 20), aErrNotReady);
  EXPECT_EQ(script.waits, (std::vector<unsigned long>{20}));
  EXPECT_EQ(aStream_Read(stream, buffer, 2), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 2), "cd");
  // At the end the bytes read before it are still delivered.
  memset(buffer, 0, sizeof(buffer));
  EXPECT_EQ(aStream_Read(stream, buffer, 3), aErrEOF);
  EXPECT_EQ(buffer[0], 'e');
  EXPECT_EQ(aStream_Read(stream, nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  EXPECT_EQ(stream, nullptr);
  EXPECT_TRUE(script.deleted);
  EXPECT_EQ(aStream_Destroy(&stream), aErrParam);
  EXPECT_EQ(aStream_AwaitReadable(stream, 1), aErrParam);
  EXPECT_EQ(aStream_SetWait(stream, cbWait), aErrParam);
}

TEST(aStream, PushBackRingGrowsAndKeepsOrder) {
  Script script;
  Feed(script, "tail");
  aStream* stream = aStream_Create(cbGet, nullptr, nullptr, nullptr, &script);
  EXPECT_EQ(aStream_PushBackCapacity(stream), 0u);
  uint8_t bytes[600];
  for (int i = 0; i < 600; i++)
    bytes[i] = static_cast<uint8_t>(i * 7);
  // Wrap the ring first so that growing has to unroll it.
  ASSERT_EQ(aStream_PushBack(stream, bytes, 300), aErrNone);
  uint8_t out[600];
  ASSERT_EQ(aStream_Read(stream, out, 300), aErrNone);
  ASSERT_EQ(aStream_PushBack(stream, bytes, 511), aErrNone);
  EXPECT_EQ(aStream_PushBackCapacity(stream), 512u);
  ASSERT_EQ(aStream_Read(stream, out, 511), aErrNone);
  ASSERT_EQ(aStream_PushBack(stream, bytes, 600), aErrNone);
  EXPECT_EQ(aStream_PushBackCapacity(stream), 1024u);
  ASSERT_EQ(aStream_Read(stream, out, 600), aErrNone);
  EXPECT_EQ(memcmp(out, bytes, 600), 0);
  // Ring empty: reads reach the transport again.
  ASSERT_EQ(aStream_Read(stream, out, 4), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 4), "tail");
  aStream_Destroy(&stream);
}

TEST(aStream, WriteChoosesBlockOrBytesAndFlushCopies) {
  Script both, putOnly, writeOnly;
  aStream* a = aStream_Create(nullptr, cbPut, cbWrite, nullptr, &both);
  aStream* b = aStream_Create(nullptr, cbPut, nullptr, nullptr, &putOnly);
  aStream* c = aStream_Create(nullptr, nullptr, cbWrite, nullptr, &writeOnly);
  aStream* none = aStream_Create(cbGet, nullptr, nullptr, nullptr, &both);
  const uint8_t data[3] = {1, 2, 3};
  EXPECT_EQ(aStream_Write(a, data, 3), aErrNone);
  EXPECT_EQ(aStream_Write(a, data, 1), aErrNone);
  EXPECT_EQ(both.writeCalls, 1);
  EXPECT_EQ(both.putCalls, 1);
  EXPECT_EQ(aStream_Write(b, data, 3), aErrNone);
  EXPECT_EQ(putOnly.putCalls, 3);
  EXPECT_EQ(aStream_Write(c, data, 1), aErrNone);
  EXPECT_EQ(writeOnly.writeCalls, 1);
  EXPECT_EQ(aStream_Write(none, data, 3), aErrMode);
  EXPECT_EQ(aStream_Write(a, nullptr, 3), aErrParam);

  Script source, sink;
  Feed(source, "copy me");
  aStream* from = aStream_Create(cbGet, nullptr, nullptr, nullptr, &source);
  aStream* to = aStream_Create(nullptr, cbPut, nullptr, nullptr, &sink);
  EXPECT_EQ(aStream_Flush(from, to), aErrNone);
  EXPECT_EQ(sink.output, "copy me");
  EXPECT_EQ(aStream_Flush(to, from), aErrMode);
  Script stalled;
  stalled.input = {'x', -1};
  aStream* slow = aStream_Create(cbGet, nullptr, nullptr, nullptr, &stalled);
  EXPECT_EQ(aStream_Flush(slow, to), aErrNotReady);
  for (aStream* s : {a, b, c, none, from, to, slow})
    aStream_Destroy(&s);
}

TEST(aStream, RecordsRoundTrip) {
  Script script;
  aStream* out = aStream_Create(nullptr, cbPut, cbWrite, nullptr, &script);
  ASSERT_EQ(aStream_WriteCString(out, "first"), aErrNone);
  ASSERT_EQ(aStream_WriteCStringRecord(out, "second", "\r\n"), aErrNone);
  ASSERT_EQ(aStream_WriteRecord(out, reinterpret_cast<const uint8_t*>("a-b"), 3, "--", 2), aErrNone);
  EXPECT_EQ(script.output, std::string("first\0second\r\n\0a-b--", 20));
  aStream_Destroy(&out);

  Script in;
  Feed(in, script.output);
  Feed(in, std::string("toolongrecord\0", 14));
  aStream* stream = aStream_Create(cbGet, nullptr, nullptr, nullptr, &in);
  char buffer[16];
  size_t length = 0;
  EXPECT_EQ(aStream_ReadCString(stream, buffer, sizeof(buffer)), aErrNone);
  EXPECT_STREQ(buffer, "first");
  EXPECT_EQ(aStream_ReadCStringRecord(stream, buffer, sizeof(buffer), "\r\n"), aErrNone);
  EXPECT_STREQ(buffer, "second");
  // An interrupted separator ("-b") is data.
  EXPECT_EQ(aStream_ReadRecord(stream, buffer, sizeof(buffer), &length, "--", 2), aErrNone);
  EXPECT_STREQ(buffer, "a-b");
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(aStream_ReadCString(stream, buffer, 5), aErrOverrun);
  EXPECT_STREQ(buffer, "tool");
  aStream_Destroy(&stream);

  // A record that is not complete yet stays in the stream.
  Script partial;
  partial.input = {'a', 'b', -1, 'c', 0};
  stream = aStream_Create(cbGet, nullptr, nullptr, nullptr, &partial);
  EXPECT_EQ(aStream_ReadCString(stream, buffer, sizeof(buffer)), aErrNotReady);
  EXPECT_EQ(aStream_ReadCString(stream, buffer, sizeof(buffer)), aErrNone);
  EXPECT_STREQ(buffer, "abc");
  aStream_Destroy(&stream);
}

TEST(aStreamSerial, ConfiguresPortAndRestoresIt) {
  linktest::Pty pty;
  ASSERT_TRUE(pty.open());
  aStream* stream = nullptr;
  EXPECT_EQ(aStream_CreateSerial(pty.slavePath.c_str(), 6, 0, 2, 0, &stream), aErrParam);
  EXPECT_EQ(aStream_CreateSerial(pty.slavePath.c_str(), 6, 0, 0, 2, &stream), aErrParam);
  EXPECT_EQ(aStream_CreateSerial("/dev/no-such-port", 6, 0, 0, 0, &stream), aErrNotFound);
  EXPECT_EQ(stream, nullptr);

  // A second descriptor on the same terminal shows the settings in force.
  int probe = open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(probe, 0);
  struct termios before;
  ASSERT_EQ(tcgetattr(probe, &before), 0);
  ASSERT_TRUE(before.c_lflag & ICANON);
  ASSERT_EQ(aStream_CreateSerial(pty.slavePath.c_str(), 6, 1, 1, 1, &stream), aErrNone);
  struct termios during;
  ASSERT_EQ(tcgetattr(probe, &during), 0);
  EXPECT_EQ(cfgetispeed(&during), B115200);
  EXPECT_EQ(cfgetospeed(&during), B115200);
  EXPECT_EQ(during.c_lflag, 0u);
  // (A pseudo-terminal forces 8 data bits without parity; the stop bits and
  // input flags still show.)
  EXPECT_TRUE(during.c_cflag & CSTOPB);
  EXPECT_TRUE(during.c_iflag & IGNPAR);

  // Bytes pass unchanged both ways (no line-feed translation, no echo).
  const uint8_t frame[4] = {0x02, 0x02, 0x0A, 0x0D};
  ASSERT_EQ(aStream_Write(stream, frame, 4), aErrNone);
  uint8_t got[4] = {0};
  ASSERT_TRUE(linktest::WaitUntil([&] { return read(pty.master, got, 4) == 4; }, 1000));
  EXPECT_EQ(memcmp(got, frame, 4), 0);
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
  ASSERT_EQ(write(pty.master, "\r", 1), 1);
  ASSERT_TRUE(linktest::WaitUntil([&] { return aStream_Read(stream, &byte, 1) == aErrNone; }, 1000));
  EXPECT_EQ(byte, '\r');

  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  struct termios after;
  ASSERT_EQ(tcgetattr(probe, &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  close(probe);

  // An index outside the table gives line speed 0.
  ASSERT_EQ(aStream_CreateSerial(pty.slavePath.c_str(), 9, 0, 0, 0, &stream), aErrNone);
  probe = open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(tcgetattr(probe, &during), 0);
  EXPECT_EQ(cfgetospeed(&during), B0);
  close(probe);
  aStream_Destroy(&stream);
}

TEST(aStreamSerial, HungUpTerminalIsAnError) {
  linktest::Pty pty;
  ASSERT_TRUE(pty.open());
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.slavePath.c_str(), 6, 0, 0, 0, &stream), aErrNone);
  uint8_t byte;
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
  // The wait blocks until input comes, and a hang-up ends it too, so that the
  // read that follows can report it.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aStream_AwaitReadable(stream, 100), aErrNotReady);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
  ASSERT_EQ(write(pty.master, "ab", 2), 2);
  EXPECT_EQ(aStream_AwaitReadable(stream, 2000), aErrNone);
  uint8_t two[2];
  ASSERT_TRUE(linktest::WaitUntil([&] { return aStream_Read(stream, two, 2) == aErrNone; }, 2000));
  EXPECT_EQ(two[1], 'b');
  pty.closeMaster();
  EXPECT_EQ(aStream_AwaitReadable(stream, 2000), aErrNone);
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrIO);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}
