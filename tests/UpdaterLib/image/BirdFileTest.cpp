#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "image/BirdFile.h"
#include "Log.h"
#include "BirdTestHelpers.h"

using namespace birdtest;
using testsupport::TempDir;

namespace {

// Information block and one firmware block of 256 bytes at 0x1000.
Bytes ExampleContent(uint8_t firmwareTypeByte = 0x01, const Bytes& extraBlocks = {}, uint32_t count = 2) {
  Bytes content;
  AppendBE32(content, count);
  AppendBlock(content, 0x04, InfoBody("1234", "1.2.3", "0000ABCD", "Kirrow"));
  Bytes image(256);
  for (size_t i = 0; i < image.size(); i++)
    image[i] = static_cast<uint8_t>(i);
  AppendBlock(content, firmwareTypeByte, Addressed(0x1000, image));
  content.insert(content.end(), extraBlocks.begin(), extraBlocks.end());
  AppendBE32(content, 0xC0FFEE11);
  return content;
}

std::string WriteContent(const TempDir& dir, const Bytes& content, const std::string& name = "f.bird") {
  return WriteBytes(dir, name, WrapContent(content));
}

uint32_t LE32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }

}  // namespace

TEST(BirdFile, LoadsTheExampleContentAndAnswersQueries) {
  TempDir dir;
  Bytes content = ExampleContent();
  ASSERT_EQ(content.size(), 342u);
  BirdFile file(WriteContent(dir, content).c_str());
  EXPECT_EQ(file.signature, BirdFile::BIRD_FILE_SIGNATURE);
  EXPECT_EQ(file.version, 0x0101u);
  EXPECT_EQ(file.dataSize, 342u);
  EXPECT_EQ(file.checksum, 0xC0FFEE11u);
  ASSERT_EQ(file.blockCount, 2u);
  ASSERT_EQ(file.blocks.size(), 2u);
  EXPECT_EQ(file.blocks[0].type, BirdFile::BLOCK_INFO);
  EXPECT_EQ(file.blocks[0].length, 64u);
  EXPECT_EQ(file.blocks[0].address, 0u);
  const BirdBlock& fw = file.blocks[1];
  EXPECT_EQ(fw.type, BirdFile::BLOCK_FIRMWARE);
  EXPECT_EQ(fw.flags, 0);
  EXPECT_EQ(fw.length, 0x104u);
  EXPECT_EQ(fw.address, 0x1000u);
  // Blocks refer into the decompressed buffer rather than copying it.
  EXPECT_EQ(fw.data, file.data.get() + 4 + 69 + 5);
  EXPECT_EQ(fw.data[4 + 0x80], 0x80);

  EXPECT_EQ(file.GetBuild(), 1234u);
  EXPECT_EQ(file.GetVersion(), "1.2.3");
  EXPECT_EQ(file.GetSerialNumber(), 0xABCDu);
  EXPECT_TRUE(file.ValidateSerialNumber(0xABCD));
  EXPECT_FALSE(file.ValidateSerialNumber(0xABCE));
  EXPECT_TRUE(file.ValidateModel("Kirrow"));
  EXPECT_TRUE(file.ValidateModel("Kir"));  // prefix test over the name's length
  EXPECT_FALSE(file.ValidateModel("Kirrowx"));
  EXPECT_FALSE(file.ValidateModel("Holvex"));
  EXPECT_FALSE(file.ValidateModel(""));
  EXPECT_FALSE(file.hasSerialNumberOffsets);
  EXPECT_EQ(file.serialNumberOffset, 0u);
  EXPECT_EQ(file.descriptorOffset, 0u);
  EXPECT_FALSE(file.FindSerialNumberOffsets());
  EXPECT_EQ(file.FindBlocks(BirdFile::BLOCK_FIRMWARE).size(), 1u);
  EXPECT_TRUE(file.FindBlocks(BirdFile::BLOCK_LOADER).empty());
  EXPECT_TRUE(BirdFile::VerifyFile(file.filename.c_str()));

  // Flag bits travel with the block: 0x41 is a firmware block with flags 2.
  BirdFile flagged(WriteContent(dir, ExampleContent(0x41), "flagged.bird").c_str());
  ASSERT_EQ(flagged.blockCount, 2u);
  EXPECT_EQ(flagged.blocks[1].type, BirdFile::BLOCK_FIRMWARE);
  EXPECT_EQ(flagged.blocks[1].flags, 2);
  EXPECT_EQ(flagged.FindBlocks(BirdFile::BLOCK_FIRMWARE).size(), 1u);
}

TEST(BirdFile, InfoFieldsParseUpToTheirEnd) {
  TempDir dir;
  Bytes content;
  AppendBE32(content, 1);
  Bytes info = InfoBody("4711x99", "2.10.7 beta", "00C0FFEE", "Holvex");
  info[15] = '9';  // byte 15 of the build field is never looked at
  AppendBlock(content, 0x04, info);
  AppendBE32(content, 0);
  BirdFile file(WriteContent(dir, content).c_str());
  EXPECT_EQ(file.GetBuild(), 4711u);
  EXPECT_EQ(file.GetVersion(), "2.10.7");
  EXPECT_EQ(file.GetSerialNumber(), 0x00C0FFEEu);

  Bytes none;
  AppendBE32(none, 0);
  AppendBE32(none, 0);
  BirdFile empty(WriteContent(dir, none, "none.bird").c_str());
  EXPECT_EQ(empty.blockCount, 0u);
  EXPECT_EQ(empty.GetBuild(), 0u);
  EXPECT_EQ(empty.GetVersion(), "");
  EXPECT_EQ(empty.GetSerialNumber(), 0u);
  EXPECT_FALSE(empty.ValidateModel("Holvex"));
  EXPECT_FALSE(empty.ReplaceSerialNumber(1));
}

TEST(BirdFile, HeaderIsCheckedOnlyByVerifyFile) {
  TempDir dir;
  Bytes content = ExampleContent();
  std::string wrongSignature = WriteBytes(dir, "sig.bird", WrapContent(content, "BIRD"));
  BirdFile loaded(wrongSignature.c_str());
  EXPECT_EQ(loaded.blockCount, 2u);
  EXPECT_FALSE(BirdFile::VerifyFile(wrongSignature.c_str()));
  EXPECT_FALSE(BirdFile::VerifyFile(WriteBytes(dir, "v0.bird", WrapContent(content, "bird", 1, 0)).c_str()));
  EXPECT_FALSE(BirdFile::VerifyFile(WriteBytes(dir, "v1.bird", WrapContent(content, "bird", 0, 1)).c_str()));
  EXPECT_TRUE(BirdFile::VerifyFile(WriteBytes(dir, "v2.bird", WrapContent(content, "bird", 2, 7)).c_str()));
  EXPECT_FALSE(BirdFile::VerifyFile(WriteBytes(dir, "short.bird", Bytes{'b', 'i', 'r', 'd', 1}).c_str()));
  EXPECT_FALSE(BirdFile::VerifyFile(dir.file("missing").c_str()));
  EXPECT_FALSE(BirdFile::VerifyFile(dir.path().c_str()));
}

TEST(BirdFile, ScanMismatchesAreLoggedButKeepTheBlocks) {
  TempDir dir;
  LogCapture log(DEBUG_BirdFile);
  Bytes extra = ExampleContent();
  extra.push_back(0xAA);
  extra.push_back(0xBB);
  BirdFile trailing(WriteContent(dir, extra, "extra.bird").c_str());
  EXPECT_EQ(trailing.blockCount, 2u);
  EXPECT_EQ(trailing.checksum, 0xC0FFEE11u);
  EXPECT_TRUE(log.Contains("BIRDFILE: Block parsing mismatch in data size. (2 bytes remaining)\n"));

  BirdFile counted(WriteContent(dir, ExampleContent(0x01, {}, 3), "count.bird").c_str());
  EXPECT_EQ(counted.blockCount, 2u);
  EXPECT_EQ(counted.blocks.size(), 2u);
  EXPECT_TRUE(log.Contains("BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n"));

  // A count below the blocks present still parses them all.
  BirdFile fewer(WriteContent(dir, ExampleContent(0x01, {}, 1), "fewer.bird").c_str());
  EXPECT_EQ(fewer.blockCount, 2u);
  EXPECT_TRUE(log.Contains("(2 != 1)"));
  std::string text = log.Text();
  EXPECT_NE(text.find("BIRDFILE:\t\t File reports 2 blocks\n"), std::string::npos);
  EXPECT_NE(text.find("BIRDFILE:\t\t 04   00   64\n"), std::string::npos);
  EXPECT_NE(text.find("BIRDFILE:\t\t \t[1234            ]\n"), std::string::npos);
  EXPECT_NE(text.find("BIRDFILE:\t\t File checksum C0FFEE11\n"), std::string::npos);
}

TEST(BirdFile, DecompressionIsLimitedToEightfold) {
  TempDir dir;
  LogCapture log(DEBUG_BirdFile);
  Bytes content;
  AppendBE32(content, 1);
  AppendBlock(content, 0x01, Addressed(0, Bytes(20000, 0)));
  AppendBE32(content, 0);
  std::string path = WriteContent(dir, content);
  try {
    BirdFile file(path.c_str());
    FAIL() << "a highly compressible file must not load";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Failed to load bird file " + path + ": its body does not decompress (buffer error)");
  }
  EXPECT_TRUE(log.Contains("BIRDFILE: Error (-5) decompressing bird file.\n"));

  BirdFile direct;
  Bytes compressed = WrapContent(content);
  EXPECT_FALSE(direct.DecompressData(compressed.data() + 6, compressed.size() - 6));
  EXPECT_EQ(direct.dataSize, 0u);
  // Random bytes barely compress and stay well inside the limit.
  Bytes noisy;
  AppendBE32(noisy, 1);
  AppendBlock(noisy, 0x01, Addressed(0, birdwriter::RandomBytes(20000, 7)));
  AppendBE32(noisy, 0);
  compressed = WrapContent(noisy);
  EXPECT_TRUE(direct.DecompressData(compressed.data() + 6, compressed.size() - 6));
  EXPECT_EQ(direct.dataSize, noisy.size());
}

TEST(BirdFile, MissingShortAndDirectoryNamesFailToLoad) {
  TempDir dir;
  LogCapture log(DEBUG_BirdFile);
  BirdFile file;
  file.filename = dir.file("absent.bird");
  EXPECT_FALSE(file.Load());
  EXPECT_TRUE(log.Contains("BIRDFILE: BIRD file not found [" + dir.file("absent.bird") + "]\n"));
  file.filename = dir.path();
  EXPECT_FALSE(file.Load());
  for (size_t size = 0; size <= 6; size++) {
    file.filename = dir.file("tiny.bird");
    testsupport::WriteFile(file.filename, std::string("bird\x01\x01", size));
    EXPECT_FALSE(file.Load()) << size;
    EXPECT_EQ(file.blockCount, 0u);
  }
  EXPECT_THROW(BirdFile(dir.file("absent.bird").c_str()), std::runtime_error);

  // A FIFO would block the open for ever; a huge sparse file would be read
  // whole before its size is judged. Both are refused at once.
  file.filename = dir.file("fifo.bird");
  ASSERT_EQ(mkfifo(file.filename.c_str(), 0600), 0);
  EXPECT_FALSE(file.Load());
  EXPECT_TRUE(log.Contains("BIRDFILE: Error - " + file.filename + " is not a regular file\n"));
  file.filename = dir.file("huge.bird");
  testsupport::WriteFile(file.filename, "bird\x01\x01");
  ASSERT_EQ(truncate(file.filename.c_str(), 4LL << 30), 0);
  EXPECT_FALSE(file.Load());
  EXPECT_TRUE(log.Contains("BIRDFILE: Error - " + file.filename + " is too large (4294967296 bytes)\n"));
}

TEST(BirdFile, ReplaceSerialNumberPatchesWordAndDescriptor) {
  TempDir dir;
  // Random bytes: a uniform image would compress past the eightfold limit.
  const Bytes image = birdwriter::RandomBytes(256, 11);
  const Bytes loader = birdwriter::RandomBytes(256, 12);
  auto load = [&](uint32_t serialOffset, uint32_t descriptorOffset) {
    Bytes content;
    AppendBE32(content, 3);
    Bytes offsets;
    AppendBE32(offsets, serialOffset);
    AppendBE32(offsets, descriptorOffset);
    AppendBlock(content, 0x02, offsets);
    AppendBlock(content, 0x01, Addressed(0x1000, image));
    AppendBlock(content, 0x00, Addressed(0x1000, loader));  // loaders are never patched
    AppendBE32(content, 0);
    return BirdFile(WriteContent(dir, content).c_str());
  };
  auto unchangedExcept = [&](const BirdFile& file, uint32_t from, uint32_t to) {
    for (uint32_t i = 0; i < 256; i++) {
      if (i < from || i >= to) {
        EXPECT_EQ(file.blocks[1].data[4 + i], image[i]) << i;
      }
    }
    EXPECT_EQ(Bytes(file.blocks[2].data + 4, file.blocks[2].data + 260), loader);
    EXPECT_EQ(BirdFile::GetInt(file.blocks[2].data), 0x1000u);
  };
  BirdFile lastWord = load(0x10FC, 0);
  EXPECT_TRUE(lastWord.hasSerialNumberOffsets);
  EXPECT_EQ(lastWord.serialNumberOffset, 0x10FCu);
  EXPECT_TRUE(lastWord.ReplaceSerialNumber(0x12345678));
  EXPECT_EQ(LE32(lastWord.blocks[1].data + 4 + 0xFC), 0x12345678u);
  unchangedExcept(lastWord, 0xFC, 0x100);

  // One byte further the word would leave the image: nothing is written,
  // yet a firmware block was seen with an offset, which counts as success.
  BirdFile outside = load(0x10FD, 0);
  EXPECT_TRUE(outside.ReplaceSerialNumber(0x12345678));
  unchangedExcept(outside, 0, 0);

  BirdFile descriptor = load(0, 0x1010);
  EXPECT_EQ(descriptor.descriptorOffset, 0x1010u);
  EXPECT_TRUE(descriptor.ReplaceSerialNumber(0x00000ABC));
  const uint8_t* text = descriptor.blocks[1].data + 4 + 0x10;
  const char* digits = "00000ABC";
  for (int i = 0; i < 8; i++) {
    EXPECT_EQ(text[2 * i], digits[i]) << i;
    EXPECT_EQ(text[2 * i + 1], image[0x10 + 2 * i + 1]) << i;  // high bytes stay
  }
  unchangedExcept(descriptor, 0x10, 0x20);

  // A descriptor running past the image end is left alone and is no success.
  BirdFile partial = load(0, 0x10F8);
  EXPECT_FALSE(partial.ReplaceSerialNumber(1));
  unchangedExcept(partial, 0, 0);
  // Addresses near the top of memory must not wrap into the image.
  BirdFile wrap = load(0xFFFFFFFE, 0xFFFFFFF8);
  EXPECT_TRUE(wrap.ReplaceSerialNumber(1));
  unchangedExcept(wrap, 0, 0);
}

TEST(BirdFile, VectorChecksumAndDescrambling) {
  TempDir dir;
  Bytes vectors;
  for (uint32_t w = 0; w < 8; w++)
    for (int b = 0; b < 4; b++)
      vectors.push_back(static_cast<uint8_t>(((w + 1) * 0x01010101u) >> (8 * b)));
  Bytes content;
  AppendBE32(content, 3);
  AppendBlock(content, 0x01, Addressed(0, vectors));
  AppendBlock(content, 0x01, Addressed(0x1000, {1, 2, 3}));
  AppendBlock(content, 0x00, Addressed(0, {9, 9, 9}));
  AppendBE32(content, 0);
  BirdFile file(WriteContent(dir, content).c_str());
  EXPECT_TRUE(file.ReplaceVectorChecksum());
  uint32_t sum = 0;
  for (uint32_t w : {0u, 1u, 2u, 3u, 4u, 6u})
    sum += (w + 1) * 0x01010101u;
  const uint8_t* image = file.blocks[0].data + 4;
  EXPECT_EQ(LE32(image + 28), 0u - sum);
  EXPECT_EQ(LE32(image + 20), 6 * 0x01010101u);  // word 5 untouched
  EXPECT_EQ(file.blocks[1].data[4], 1);

  BirdFile zero(WriteContent(dir, content, "z.bird").c_str());
  const uint32_t zeroKey[4] = {0, 0, 0, 0};
  EXPECT_TRUE(zero.DecodeFirmwareBlocks(zeroKey));
  const uint8_t* second = zero.blocks[1].data;
  EXPECT_EQ(BirdFile::GetInt(second), 0x1000u);  // address bytes unchanged
  EXPECT_EQ(second[4], 1);
  EXPECT_EQ(second[5], 2 ^ 1);
  EXPECT_EQ(second[6], 3 ^ (2 ^ 1));
  EXPECT_EQ(second[7], 0x00);  // the loader block's type byte follows, unchanged
  EXPECT_EQ(zero.blocks[2].data[4], 9);

  // Key bytes are taken most significant first, and every block restarts.
  BirdFile keyed(WriteContent(dir, content, "k.bird").c_str());
  const uint32_t key[4] = {0x11223344, 0, 0, 0};
  EXPECT_TRUE(keyed.DecodeFirmwareBlocks(key));
  const uint8_t* k = keyed.blocks[1].data + 4;
  EXPECT_EQ(k[0], 1 ^ 0x11);
  EXPECT_EQ(k[1], 2 ^ 0x22 ^ k[0]);
  EXPECT_EQ(k[2], 3 ^ 0x33 ^ k[1]);
  EXPECT_EQ(keyed.blocks[0].data[4], 1 ^ 0x11);
  EXPECT_FALSE(keyed.DecodeFirmwareBlocks(nullptr));
}

TEST(BirdFile, ValidateDataSearchesWholeFirmwareContent) {
  TempDir dir;
  LogCapture log(DEBUG_BirdFile);
  Bytes content;
  AppendBE32(content, 2);
  AppendBlock(content, 0x01, Addressed(0x00AB0000, {0xAB, 0xCD, 0x00, 0xAB, 0xCD}));
  AppendBlock(content, 0x00, Addressed(0, {0x42, 0x43}));
  AppendBE32(content, 0);
  BirdFile file(WriteContent(dir, content).c_str());
  const uint8_t pattern[] = {0xAB, 0xCD};
  EXPECT_TRUE(file.ValidateData(pattern, 2));
  std::string text = log.Text();
  EXPECT_NE(text.find("Found data at 4\n"), std::string::npos);
  EXPECT_NE(text.find("Found data at 7\n"), std::string::npos);
  const uint8_t address[] = {0x00, 0xAB, 0x00};
  EXPECT_TRUE(file.ValidateData(address, 3));  // address bytes are searched too
  const uint8_t loaderOnly[] = {0x42, 0x43};
  EXPECT_FALSE(file.ValidateData(loaderOnly, 2));
  EXPECT_FALSE(file.ValidateData(pattern, 0));
}

TEST(BirdFile, DumpBlocksLogsFiftyBytesPerLine) {
  TempDir dir;
  Bytes body;
  for (int i = 0; i < 51; i++)
    body.push_back(static_cast<uint8_t>(i == 0 ? 0x01 : 'A' + (i % 26)));
  Bytes content;
  AppendBE32(content, 1);
  AppendBlock(content, 0x03, body);
  AppendBE32(content, 0);
  BirdFile file(WriteContent(dir, content).c_str());
  FILE* log = std::tmpfile();
  Log::SetOutput(log);
  Log::ActivatePackage(DEBUG_BirdFile);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(file.DumpBlocks(3));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // nothing straight to the terminal
  Log::DeactivatePackage(DEBUG_BirdFile);
  Log::SetOutput(nullptr);
  std::string out(4096, '\0');
  std::rewind(log);
  out.resize(std::fread(&out[0], 1, out.size(), log));
  std::fclose(log);
  std::string expected = "BIRDFILE: BLOCK DUMP [" + file.filename + "]\nBIRDFILE: 000000: ";
  std::string text;
  for (int i = 0; i < 50; i++) {
    char hex[4];
    snprintf(hex, sizeof(hex), "%02X ", body[i]);
    expected += hex;
    text += i == 0 ? ' ' : static_cast<char>(body[i]);
  }
  expected += " " + text + "\nBIRDFILE: 000050: ";
  char last[4];
  snprintf(last, sizeof(last), "%02X ", body[50]);
  expected += std::string(last) + " " + static_cast<char>(body[50]) + "\n";
  EXPECT_NE(out.find(expected), std::string::npos) << out;
}

TEST(BirdFile, MovingKeepsBlocksValidAndEmptiesTheSource) {
  TempDir dir;
  BirdFile source(WriteContent(dir, ExampleContent()).c_str());
  const uint8_t* buffer = source.data.get();
  BirdFile target;
  target = std::move(source);
  EXPECT_EQ(target.data.get(), buffer);
  ASSERT_EQ(target.blockCount, 2u);
  EXPECT_EQ(target.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0].address, 0x1000u);
  EXPECT_EQ(target.GetBuild(), 1234u);
  EXPECT_EQ(source.blockCount, 0u);
  EXPECT_TRUE(source.blocks.empty());
  EXPECT_EQ(source.data, nullptr);
  EXPECT_EQ(source.GetBuild(), 0u);
  BirdFile constructed(std::move(target));
  EXPECT_EQ(constructed.GetSerialNumber(), 0xABCDu);
  EXPECT_TRUE(target.filename.empty());
}
