#include <gtest/gtest.h>

#include "LabConfig.h"
#include "sim/Frame.h"
#include "sim/Upgrade.h"
#include "TestSupport.h"

namespace {

using lab::FaultKind;

TEST(LabConfig, ModuleSpecReadsEveryKey) {
  lab::ModuleConfig m;
  std::string error;
  ASSERT_TRUE(lab::ParseModuleSpec("serial=0x0000BEEF,model=0x11 address=4,version=2.1.26,build=4000,port=9000,"
                                   "hb=5,router=yes,reboot-delay=250,block-size=512,load-base=10000000,"
                                   "id=1:2:3:abcdef01,next-build=4001,name=Bench-1,router-address=8",
                                   m, error))
      << error;
  EXPECT_EQ(m.serial, 0xBEEFu);
  EXPECT_EQ(m.model, 17);
  EXPECT_EQ(m.address, 4);
  EXPECT_EQ(m.version, 0x2100001Au);
  EXPECT_EQ(m.build, 4000u);
  EXPECT_EQ(m.port, 9000);
  EXPECT_EQ(m.heartbeat, 5);
  EXPECT_TRUE(m.router);
  EXPECT_EQ(m.rebootDelayMs, 250u);
  EXPECT_EQ(m.blockSize, 512);
  EXPECT_EQ(m.loadBase, 0x10000000u);
  EXPECT_EQ(m.identifier[3], 0xABCDEF01u);
  EXPECT_EQ(m.nextBuild, 4001u);
  EXPECT_EQ(m.name, "Bench-1");
  EXPECT_EQ(m.routerAddress, 8);

  // Identifiers default to distinct words derived from the serial number.
  ASSERT_TRUE(lab::ParseModuleSpec("serial=1,port=1", m, error));
  EXPECT_NE(m.identifier[0], m.identifier[1]);

  for (const char* bad : {"model=3", "serial=0,port=1", "serial=1,address=3", "serial=1,address=0",
                          "serial=1,version=16.0.0", "serial=1,version=1.2", "serial=1,port=70000",
                          "serial=1,colour=red", "serial=XYZ", "serial=1,id=1:2:3", "serial=1,block-size=0"})
    EXPECT_FALSE(lab::ParseModuleSpec(bad, m, error)) << bad;
}

TEST(LabConfig, FaultWordsCarryStepValueAndOccurrence) {
  lab::FaultSpec f;
  std::string error;
  ASSERT_TRUE(lab::ParseFaultSpec("drop:write@2", f, error)) << error;
  EXPECT_EQ(f.kind, FaultKind::Drop);
  EXPECT_EQ(f.step, "write");
  EXPECT_EQ(f.nth, 2u);
  ASSERT_TRUE(lab::ParseFaultSpec("prepare-status:5", f, error));
  EXPECT_EQ(f.step, "prepare");
  EXPECT_EQ(f.value, 5u);
  EXPECT_EQ(f.nth, 1u);
  ASSERT_TRUE(lab::ParseFaultSpec("interleave-command", f, error));
  EXPECT_EQ(f.step, "any");
  EXPECT_EQ(f.nth, 0u);  // decoys every time unless told otherwise
  ASSERT_TRUE(lab::ParseFaultSpec("garbage", f, error));
  EXPECT_EQ(f.step, "start");
  ASSERT_TRUE(lab::ParseFaultSpec("short-data:10@0", f, error));
  EXPECT_EQ(f.value, 10u);
  EXPECT_EQ(f.nth, 0u);

  for (const char* bad : {"drop", "drop:nowhere", "prepare-status:0", "bad-sum@x", "explode"})
    EXPECT_FALSE(lab::ParseFaultSpec(bad, f, error)) << bad;
}

TEST(LabConfig, FileAndCrossModuleChecks) {
  testsupport::TempDir dir;
  ASSERT_TRUE(testsupport::WriteFile(dir.file("lab.conf"),
                                     "# bench\n"
                                     "module serial=D272031D address=254 port=9000 router=yes\n"
                                     "\n"
                                     "serial=00000004 address=4 behind=D272031D  # on the network\n"
                                     "serial=0000000A,address=10,behind=D272031D,fault=bad-sum\n"));
  lab::LabConfig config;
  std::string error;
  ASSERT_TRUE(lab::ParseConfigFile(dir.file("lab.conf"), config, error)) << error;
  ASSERT_EQ(config.modules.size(), 3u);
  EXPECT_EQ(config.modules[1].behind, 0xD272031Du);
  EXPECT_TRUE(config.modules[2].has(FaultKind::BadSum));
  EXPECT_TRUE(lab::ValidateConfig(config, error)) << error;

  auto invalid = [](std::vector<std::string> specs) {
    lab::LabConfig c;
    std::string e;
    for (const std::string& s : specs) {
      lab::ModuleConfig m;
      EXPECT_TRUE(lab::ParseModuleSpec(s, m, e)) << e;
      c.modules.push_back(m);
    }
    return !lab::ValidateConfig(c, e);
  };
  EXPECT_TRUE(invalid({}));
  EXPECT_TRUE(invalid({"serial=1"}));                                      // no port
  EXPECT_TRUE(invalid({"serial=1,port=9000", "serial=2,port=9000"}));      // port twice
  EXPECT_TRUE(invalid({"serial=1,port=9000", "serial=1,port=9001"}));      // serial twice
  EXPECT_TRUE(invalid({"serial=1,port=9000", "serial=2,behind=1"}));       // not a router
  EXPECT_TRUE(invalid({"serial=1,port=9000,router", "serial=2,behind=1,address=4",
                       "serial=3,behind=1,address=4"}));                   // address twice
  EXPECT_TRUE(invalid({"serial=1,port=9000,router,address=4", "serial=2,behind=1,address=4"}));
  EXPECT_TRUE(invalid({"serial=1,port=9000,router", "serial=2,behind=1,address=4,port=9001"}));
  EXPECT_FALSE(lab::ParseConfigFile(dir.file("missing.conf"), config, error));
}

TEST(SimFrameReader, SplitsFramesAcrossReadsAndSkipsBytesThatCannotStartOne) {
  lab::SimFrameReader reader;
  std::vector<lab::SimFrame> frames;
  const uint8_t part1[] = {0xAF, 0x01, 0x01, 0xAD, 0x00, 0x04, 0x03, 0x03};
  const uint8_t part2[] = {0x49, 0x20, 0x00, 0x06, 0x1D, 0x1E, 0x00};
  reader.feed(part1, sizeof(part1), frames);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].address, 0xAF);
  EXPECT_EQ(frames[0].data, std::vector<uint8_t>({0x01}));
  EXPECT_EQ(frames[1].address, 0xAD);
  EXPECT_TRUE(frames[1].data.empty());
  reader.feed(part2, sizeof(part2), frames);
  // 04 03 03 49 20 completes across the reads; the zero byte, the 06 (length
  // 0x1D) and the 1D (length 0x1E) cannot start frames; 1E 00 is an empty frame.
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[2].address, 0x04);
  EXPECT_EQ(frames[2].data, std::vector<uint8_t>({0x03, 0x49, 0x20}));
  EXPECT_EQ(frames[3].address, 0x1E);
  EXPECT_TRUE(frames[3].data.empty());
  EXPECT_EQ(reader.discarded(), 3u);
}

TEST(SimImage, InformationBlockCopyInTheImageNamesTheBuild) {
  std::string info(64, ' ');
  info.replace(0, 4, "4321");
  info.replace(16, 6, "2.1.26");
  info.replace(32, 8, "0000BEEF");
  info.replace(48, 6, "Holvex");
  std::vector<uint8_t> image(300, 0xA5);
  std::copy(info.begin(), info.end(), image.begin() + 100);
  lab::SimImageInfo found = lab::FindImageInfo(image);
  ASSERT_TRUE(found.found);
  EXPECT_EQ(found.build, 4321u);
  ASSERT_TRUE(found.hasVersion);
  EXPECT_EQ(found.version, 0x2100001Au);

  // Digits alone do not make an information block.
  std::vector<uint8_t> digits(200, '7');
  EXPECT_FALSE(lab::FindImageInfo(digits).found);
  image[100 + 35] = 'X';  // serial digits broken
  EXPECT_FALSE(lab::FindImageInfo(image).found);

  lab::SimImage memory;
  const uint8_t a[] = {1, 2, 3, 4};
  ASSERT_TRUE(memory.write(0x1004, a, 4));
  ASSERT_TRUE(memory.write(0x1000, a, 2));
  EXPECT_EQ(memory.base, 0x1000u);
  EXPECT_EQ(memory.bytes, std::vector<uint8_t>({1, 2, 0xFF, 0xFF, 1, 2, 3, 4}));
  EXPECT_FALSE(memory.write(0x1000 + (64u << 20), a, 4));  // beyond the 64 MB span
}

}  // namespace

namespace {

TEST(LabConfig, StoreAndStreamKeysAndTheirFaults) {
  lab::ModuleConfig m;
  std::string error;
  ASSERT_TRUE(lab::ParseModuleSpec("serial=1,port=1,slots=3:5:200,stream-ms=7,fault=no-reply:slot-close@2,"
                                   "fault=stream-error:21,fault=sample-burst:9",
                                   m, error))
      << error;
  EXPECT_EQ(m.stores, 3);
  EXPECT_EQ(m.slots, 5);
  EXPECT_EQ(m.slotCapacity, 200);
  EXPECT_EQ(m.streamIntervalMs, 7u);
  ASSERT_EQ(m.faults.size(), 3u);
  EXPECT_EQ(m.faults[0].kind, FaultKind::NoReply);
  EXPECT_EQ(m.faults[0].step, "slot-close");
  EXPECT_EQ(m.faults[0].nth, 2u);
  EXPECT_EQ(m.faults[1].value, 21u);
  EXPECT_EQ(m.faults[2].value, 9u);
  for (const char* bad : {"serial=1,port=1,slots=2:4", "serial=1,port=1,slots=2:4:70000",
                          "serial=1,port=1,stream-ms=0", "serial=1,port=1,fault=no-reply",
                          "serial=1,port=1,fault=no-reply:nowhere"})
    EXPECT_FALSE(lab::ParseModuleSpec(bad, m, error)) << bad;
}

}  // namespace
