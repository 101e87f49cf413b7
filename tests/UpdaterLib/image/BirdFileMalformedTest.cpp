// Damaged BIRD input must load cleanly or fail cleanly, never touch memory
// outside the buffers (run under the sanitizer build to see that).
#include <gtest/gtest.h>

#include "image/BirdFile.h"
#include "BirdTestHelpers.h"

using namespace birdtest;
using testsupport::TempDir;

namespace {

Bytes SmallContent() {
  Bytes content;
  AppendBE32(content, 4);
  AppendBlock(content, 0x04, InfoBody("7", "0.1", "00000001", "Tavrel"));
  Bytes offsets;
  AppendBE32(offsets, 0x2004);
  AppendBE32(offsets, 0x2008);
  AppendBlock(content, 0x02, offsets);
  AppendBlock(content, 0x00, Addressed(0x10000000, {1, 2, 3, 4}));
  AppendBlock(content, 0x01, Addressed(0x2000, birdwriter::RandomBytes(24, 3)));
  AppendBE32(content, 0x01020304);
  return content;
}

// Exercises every query and rewrite on whatever loaded.
void UseEverything(BirdFile& file) {
  file.GetBuild();
  file.GetVersion();
  file.GetSerialNumber();
  file.ValidateModel("Tavrel");
  file.FindSerialNumberOffsets();
  file.ReplaceSerialNumber(0xFEEDF00D);
  file.ReplaceVectorChecksum();
  const uint32_t key[4] = {1, 2, 3, 4};
  file.DecodeFirmwareBlocks(key);
  const uint8_t pattern[] = {1, 2};
  file.ValidateData(pattern, 2);
  for (const BirdBlock& block : file.blocks)
    ASSERT_LE(block.data + block.length, file.data.get() + file.dataSize);
}

bool TryLoad(const std::string& path, BirdFile& file) {
  file = BirdFile();
  file.filename = path;
  return file.Load();
}

}  // namespace

TEST(BirdFileMalformed, EveryTruncationOfFileAndContentFailsCleanly) {
  TempDir dir;
  Bytes content = SmallContent();
  Bytes whole = WrapContent(content);
  BirdFile file;
  ASSERT_TRUE(TryLoad(WriteBytes(dir, "whole.bird", whole), file));
  EXPECT_EQ(file.blockCount, 4u);
  // A cut file has a cut zlib stream, which never decompresses.
  for (size_t size = 0; size < whole.size(); size++) {
    Bytes cut(whole.begin(), whole.begin() + static_cast<long>(size));
    EXPECT_FALSE(TryLoad(WriteBytes(dir, "cut.bird", cut), file)) << size;
    EXPECT_EQ(file.blockCount, 0u);
    UseEverything(file);
  }
  // A complete stream of cut content: only cuts that leave whole blocks and
  // some trailer may load, and then hold only whole blocks.
  for (size_t size = 0; size < content.size(); size++) {
    Bytes cut(content.begin(), content.begin() + static_cast<long>(size));
    bool loaded = TryLoad(WriteBytes(dir, "cutc.bird", WrapContent(cut)), file);
    if (size < 8) {
      EXPECT_FALSE(loaded) << size;
    }
    if (loaded) {
      EXPECT_LT(file.blockCount, 4u) << size;
    }
    UseEverything(file);
  }
}

TEST(BirdFileMalformed, FlippedLengthBytesNeverReadPastTheContent) {
  TempDir dir;
  Bytes content = SmallContent();
  // Offsets of the four length fields: after the count, then block by block.
  std::vector<size_t> lengthFields;
  size_t pos = 4;
  for (int i = 0; i < 4; i++) {
    lengthFields.push_back(pos + 1);
    pos += 5 + BirdFile::GetInt(&content[pos + 1]);
  }
  BirdFile file;
  for (size_t field : lengthFields) {
    for (size_t byte = 0; byte < 4; byte++) {
      for (uint8_t mask : {0x01, 0x10, 0x80, 0xFF}) {
        Bytes damaged = content;
        damaged[field + byte] ^= mask;
        TryLoad(WriteBytes(dir, "flip.bird", WrapContent(damaged)), file);
        UseEverything(file);
      }
    }
  }
  // The last block running past the end is refused outright.
  Bytes longer = content;
  longer[lengthFields[3] + 3] += 5;
  EXPECT_FALSE(TryLoad(WriteBytes(dir, "long.bird", WrapContent(longer)), file));
  EXPECT_EQ(file.blockCount, 0u);
  EXPECT_TRUE(file.blocks.empty());
}

TEST(BirdFileMalformed, ShortBlocksAreClippedToWhatTheyHold) {
  TempDir dir;
  Bytes content;
  AppendBE32(content, 4);
  AppendBlock(content, 0x04, Bytes{'4', '2', ' ', ' '});  // information block of 4 bytes
  AppendBlock(content, 0x02, Bytes{0x00, 0x00, 0x20, 0x00, 0x00, 0x00});  // 6 of 8 offset bytes
  AppendBlock(content, 0x01, Bytes{0x00, 0x00});  // firmware block without a whole address
  AppendBlock(content, 0x01, Addressed(0x2000, Bytes(8, 0x11)));
  AppendBE32(content, 0);
  BirdFile file(WriteBytes(dir, "short.bird", WrapContent(content)).c_str());
  ASSERT_EQ(file.blockCount, 4u);
  EXPECT_EQ(file.GetBuild(), 42u);
  EXPECT_EQ(file.GetVersion(), "");
  EXPECT_EQ(file.GetSerialNumber(), 0u);
  EXPECT_FALSE(file.ValidateModel("Tavrel"));
  EXPECT_TRUE(file.hasSerialNumberOffsets);
  EXPECT_EQ(file.serialNumberOffset, 0x2000u);
  EXPECT_EQ(file.descriptorOffset, 0u);  // its field is incomplete
  EXPECT_EQ(file.blocks[2].address, 0u);
  EXPECT_EQ(file.blocks[2].ImageLength(), 0u);
  EXPECT_TRUE(file.ReplaceSerialNumber(0xA1B2C3D4));
  EXPECT_EQ(file.blocks[3].data[4], 0xD4);
  EXPECT_EQ(file.blocks[3].data[7], 0xA1);
  EXPECT_EQ(file.blocks[2].data[0], 0x00);

  // With only a firmware block too short for its address, no image was seen;
  // an address without bytes is an (empty) image.
  Bytes stub;
  AppendBE32(stub, 2);
  AppendBlock(stub, 0x02, Bytes{0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00});
  AppendBlock(stub, 0x01, Bytes{0x00, 0x00, 0x10});
  AppendBE32(stub, 0);
  BirdFile noImage(WriteBytes(dir, "stub.bird", WrapContent(stub)).c_str());
  EXPECT_FALSE(noImage.ReplaceSerialNumber(1));
  stub[4 + 13 + 4] = 4;  // the firmware block's length byte
  stub.insert(stub.begin() + 4 + 13 + 5 + 3, 0x00);
  BirdFile emptyImage(WriteBytes(dir, "stub4.bird", WrapContent(stub)).c_str());
  ASSERT_EQ(emptyImage.blocks[1].length, 4u);
  EXPECT_EQ(emptyImage.blocks[1].address, 0x1000u);
  EXPECT_TRUE(emptyImage.ReplaceSerialNumber(1));

  // Content shorter than a count and a checksum is refused.
  Bytes tiny = {0, 0, 0, 0, 0, 0, 0};
  EXPECT_THROW(BirdFile(WriteBytes(dir, "tiny.bird", WrapContent(tiny)).c_str()), std::runtime_error);
  Bytes minimal = {0, 0, 0, 0, 0, 0, 0, 0};
  BirdFile empty(WriteBytes(dir, "min.bird", WrapContent(minimal)).c_str());
  EXPECT_EQ(empty.blockCount, 0u);
}

TEST(BirdFileMalformed, RandomContentScansWithinBounds) {
  BirdFile file;
  for (uint32_t seed = 1; seed <= 300; seed++) {
    Bytes content = birdwriter::RandomBytes(seed % 97, seed);
    // Small block lengths make deep scans likely.
    for (size_t i = 1; i + 4 < content.size(); i += 7)
      content[i] = content[i + 1] = content[i + 2] = 0;
    file.ScanBlocks(content.data(), static_cast<uint32_t>(content.size()));
    for (const BirdBlock& block : file.blocks)
      ASSERT_LE(block.data + block.length, content.data() + content.size());
    file.blocks.clear();
  }
}
