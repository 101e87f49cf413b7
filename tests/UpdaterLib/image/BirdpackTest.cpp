// The authoring tool writes the format independently of the loader; loading
// its output with BirdFile checks both sides against each other.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include "image/BirdFile.h"
#include "BirdTestHelpers.h"

using namespace birdtest;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

struct Result {
  int exitCode = -1;
  std::string output;
};

// Runs birdpack with the arguments; stdout and stderr are collected together.
Result Birdpack(const std::string& arguments) {
  std::string command = testsupport::BinPath("birdpack") + " " + arguments + " 2>&1";
  Result result;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe)
    return result;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0)
    result.output.append(chunk, n);
  int status = pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace

TEST(Birdpack, WritesFilesTheLoaderReadsBack) {
  TempDir dir;
  std::string out = dir.file("1234.bird");
  Result r = Birdpack("-o " + out +
                      " --model 17 --build 1234 --version 1.2.3 --serial 0"
                      " --loader-random 4096@0x10000000 --firmware-random 65536@0x1000:2"
                      " --serial-offsets 0x10FC,0x1200 --start 0x10000000 --seed 5");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(BirdFile::VerifyFile(out.c_str()));
  LogCapture log(DEBUG_BirdFile);
  BirdFile file(out.c_str());
  EXPECT_FALSE(log.Contains("mismatch"));
  ASSERT_EQ(file.blockCount, 5u);
  EXPECT_EQ(file.GetBuild(), 1234u);
  EXPECT_EQ(file.GetVersion(), "1.2.3");
  EXPECT_EQ(file.GetSerialNumber(), 0u);
  EXPECT_TRUE(file.ValidateModel("Holvex"));
  EXPECT_FALSE(file.ValidateModel("Holvexx"));
  EXPECT_TRUE(file.hasSerialNumberOffsets);
  EXPECT_EQ(file.serialNumberOffset, 0x10FCu);
  EXPECT_EQ(file.descriptorOffset, 0x1200u);
  auto loaders = file.FindBlocks(BirdFile::BLOCK_LOADER);
  ASSERT_EQ(loaders.size(), 1u);
  EXPECT_EQ(loaders[0].address, 0x10000000u);
  EXPECT_EQ(loaders[0].length, 4100u);
  auto firmware = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  ASSERT_EQ(firmware.size(), 1u);
  EXPECT_EQ(firmware[0].address, 0x1000u);
  EXPECT_EQ(firmware[0].length, 65540u);
  EXPECT_EQ(firmware[0].flags, 2);
  // Payloads are the documented generator: seed, then seed + 1.
  EXPECT_EQ(Bytes(loaders[0].data + 4, loaders[0].data + 4100), birdwriter::RandomBytes(4096, 5));
  EXPECT_EQ(Bytes(firmware[0].data + 4, firmware[0].data + 65540), birdwriter::RandomBytes(65536, 6));
  auto start = file.FindBlocks(BirdFile::BLOCK_START_ADDRESS);
  ASSERT_EQ(start.size(), 1u);
  EXPECT_EQ(BirdFile::GetInt(start[0].data), 0x10000000u);
  // The trailing checksum is the CRC-32 of everything before it.
  EXPECT_EQ(file.checksum, crc32(0, file.data.get(), file.dataSize - 4));
  EXPECT_TRUE(file.ReplaceSerialNumber(0xCAFE0001));
  EXPECT_EQ(file.blocks[2].data[4 + 0xFC], 0x01);
  EXPECT_EQ(file.blocks[2].data[4 + 0x200], 'C');
  EXPECT_EQ(file.blocks[2].data[4 + 0x200 + 14], '1');

  // The same command gives the same bytes; another seed other bytes.
  std::string again = dir.file("again.bird");
  ASSERT_EQ(Birdpack("-o " + again +
                     " --model 17 --build 1234 --version 1.2.3 --serial 0"
                     " --loader-random 4096@0x10000000 --firmware-random 65536@0x1000:2"
                     " --serial-offsets 0x10FC,0x1200 --start 0x10000000 --seed 5")
                .exitCode,
            0);
  EXPECT_EQ(ReadFile(out), ReadFile(again));
  ASSERT_EQ(Birdpack("-o " + again + " --model 17 --firmware-random 65536@0x1000 --seed 6").exitCode, 0);
  BirdFile other(again.c_str());
  EXPECT_EQ(Bytes(other.blocks[1].data + 4, other.blocks[1].data + 65540), birdwriter::RandomBytes(65536, 6));
}

TEST(Birdpack, FilePayloadsNamesAndCompressibleImages) {
  TempDir dir;
  // A mostly blank image would expand far beyond eightfold at full compression.
  Bytes image(100000, 0xFF);
  image[10] = 0x42;
  std::string imagePath = WriteBytes(dir, "fw@v1.bin", image);
  Bytes raw = {1, 2, 3};
  std::string rawPath = WriteBytes(dir, "raw.bin", raw);
  std::string out = dir.file("f.bird");
  Result r = Birdpack("-o " + out + " --model Kirrow --serial 00ABCDEF --build 77 --firmware '" + imagePath +
                      "@0x0' --loader '" + imagePath + "@0' --block 9:" + rawPath);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  BirdFile file(out.c_str());
  ASSERT_EQ(file.blockCount, 4u);
  EXPECT_TRUE(file.ValidateModel("Kirrow"));
  EXPECT_TRUE(file.ValidateSerialNumber(0x00ABCDEF));
  EXPECT_EQ(file.GetBuild(), 77u);
  EXPECT_EQ(file.GetVersion(), "1.0.0");
  EXPECT_EQ(file.blocks[1].address, 0u);
  EXPECT_EQ(file.blocks[1].data[4 + 10], 0x42);
  EXPECT_EQ(file.blocks[2].type, BirdFile::BLOCK_LOADER);
  EXPECT_EQ(file.blocks[2].address, 0u);
  EXPECT_EQ(file.blocks[3].type, 9);
  EXPECT_EQ(Bytes(file.blocks[3].data, file.blocks[3].data + 3), raw);

  Result listing = Birdpack("--list " + out);
  EXPECT_EQ(listing.exitCode, 0);
  EXPECT_NE(listing.output.find("build [77] version [1.0.0] serial [00ABCDEF] model [Kirrow]"), std::string::npos);
  EXPECT_NE(listing.output.find("4 blocks"), std::string::npos);

  ASSERT_EQ(Birdpack("-o " + out + " --no-info --firmware-random 64@0x20").exitCode, 0);
  BirdFile bare(out.c_str());
  EXPECT_EQ(bare.blockCount, 1u);
  EXPECT_EQ(bare.GetBuild(), 0u);
}

TEST(Birdpack, RejectsBadInputWithoutWritingAnything) {
  TempDir dir;
  std::string out = dir.file("x.bird");
  const char* usageErrors[] = {
      "",                                   // no output
      "-o",                                 // missing value
      "-o X --model 99",                    // unknown model code
      "-o X --model ABCDEFGHIJKLMNOPQ",     // 17 characters
      "-o X --model 17 --version '1.0 beta'",        // blank in version
      "-o X --model 17 --version 1234567890123456",  // 16 characters
      "-o X --build 5",                              // no model
      "-o X --no-info --info-copy 0x100",            // a copy of nothing
      "-o X --build 12x",                   // not a number
      "-o X --build -1",                    //
      "-o X --serial 1FFFFFFFF",            // more than 32 bits
      "-o X --firmware-random 64",          // firmware needs an address
      "-o X --firmware-random 64@0x10:8",   // flags above 7
      "-o X --block 32:/dev/null",          // type above 31
      "-o X --frobnicate 1",                // unknown option
  };
  for (const char* arguments : usageErrors) {
    std::string line = arguments;
    size_t x = line.find(" X ");
    if (x != std::string::npos)
      line.replace(x + 1, 1, out);
    Result r = Birdpack(line);
    EXPECT_EQ(r.exitCode, 2) << line << "\n" << r.output;
    EXPECT_NE(r.output.find("birdpack: "), std::string::npos) << line;
    EXPECT_FALSE(testsupport::ReadFile(out).size()) << line;
  }
  Result missing = Birdpack("-o " + out + " --firmware " + dir.file("none.bin") + "@0");
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.output.find("cannot read"), std::string::npos);
  EXPECT_EQ(Birdpack("-o " + dir.file("no/such/dir.bird") + " --model 17").exitCode, 1);
  EXPECT_EQ(Birdpack("--list " + dir.file("none.bird")).exitCode, 1);

  Result help = Birdpack("--help");
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.output.find("--firmware-random SIZE@ADDR"), std::string::npos);
}

TEST(BirdWriter, ReserialisingChangesOnlyTheInformationSerial) {
  TempDir dir;
  Bytes generic = birdwriter::EncodeFile({birdwriter::InfoBlock(5, "2.0", 0, "Tavrel"),
                                          birdwriter::AddressedBlock(birdwriter::kFirmware, 0x400,
                                                                     birdwriter::RandomBytes(300, 9))});
  Bytes specific = birdwriter::WithInfoSerial(generic, 0x0000BEEF);
  BirdFile a(WriteBytes(dir, "a.bird", generic).c_str());
  BirdFile b(WriteBytes(dir, "b.bird", specific).c_str());
  EXPECT_EQ(a.GetSerialNumber(), 0u);
  EXPECT_EQ(b.GetSerialNumber(), 0xBEEFu);
  EXPECT_EQ(b.GetBuild(), 5u);
  EXPECT_TRUE(b.ValidateModel("Tavrel"));
  ASSERT_EQ(a.dataSize, b.dataSize);
  EXPECT_EQ(Bytes(a.blocks[1].data, a.blocks[1].data + a.blocks[1].length),
            Bytes(b.blocks[1].data, b.blocks[1].data + b.blocks[1].length));
  EXPECT_THROW(birdwriter::WithInfoSerial(Bytes{'n', 'o', 'p', 'e', 1, 1, 0}, 1), std::runtime_error);
}

TEST(Birdpack, SignsListsVerifiesAndSignsAgainInPlace) {
  TempDir dir;
  for (const char* name : {"maker", "other"}) {
    std::string pem = dir.file(std::string(name) + ".pem");
    ASSERT_EQ(system(("openssl genpkey -algorithm ed25519 -out " + pem + " 2>/dev/null && openssl pkey -in " + pem +
                      " -pubout -out " + dir.file(std::string(name) + ".pub"))
                         .c_str()),
              0);
  }
  std::string out = dir.file("s.bird"), maker = dir.file("maker.pem");
  ASSERT_EQ(Birdpack("-o " + out + " --model 17 --firmware-random 256@0x1000 --sign " + maker).exitCode, 0);
  BirdFile file(out.c_str());
  ASSERT_EQ(file.blockCount, 3u);
  EXPECT_EQ(file.blocks[2].type, 24);
  EXPECT_EQ(file.blocks[2].length, 76u);

  Result verified = Birdpack("--verify " + dir.file("maker.pub") + " " + out);
  EXPECT_EQ(verified.exitCode, 0) << verified.output;
  size_t at = verified.output.find("signed by key ");
  ASSERT_NE(at, std::string::npos) << verified.output;
  std::string keyId = verified.output.substr(at + 14, 16);
  EXPECT_NE(Birdpack("--list " + out).output.find("type 24 flags 0 length       76  signature layout 1, Ed25519, key " +
                                                  keyId),
            std::string::npos);
  Result wrongKey = Birdpack("--verify " + dir.file("other.pub") + " " + out);
  EXPECT_EQ(wrongKey.exitCode, 1);
  EXPECT_NE(wrongKey.output.find("signed by key " + keyId + ", not by this key"), std::string::npos) << wrongKey.output;

  // Signing again replaces the signature: still one block, now by the other key.
  ASSERT_EQ(Birdpack("--sign " + dir.file("other.pem") + " --sign-file " + out).exitCode, 0);
  EXPECT_EQ(BirdFile(out.c_str()).blockCount, 3u);
  EXPECT_EQ(Birdpack("--verify " + dir.file("other.pub") + " " + out).exitCode, 0);
  EXPECT_EQ(Birdpack("--sign-file " + out).exitCode, 2);
  Result publicKey = Birdpack("--sign " + dir.file("maker.pub") + " --sign-file " + out);
  EXPECT_EQ(publicKey.exitCode, 1);
  EXPECT_NE(publicKey.output.find("is not an Ed25519 private key in PEM"), std::string::npos) << publicKey.output;
}

TEST(Birdpack, PrintsItsVersionAndCopiesTheInformationBlockIntoTheFirmware) {
  for (const char* arguments : {"--version", "-V", "-o x.bird -V"}) {
    Result r = Birdpack(arguments);
    EXPECT_EQ(r.exitCode, 0) << arguments << "\n" << r.output;
    EXPECT_EQ(r.output.rfind("birdpack 1.", 0), 0u) << arguments << "\n" << r.output;
  }
  // With a value, --version still names the firmware's version.
  TempDir dir;
  std::string out = dir.file("c.bird");
  Result r = Birdpack("-o " + out + " --model Holvex --build 1420 --version 1.4.2 --serial 0000BEEF"
                      " --firmware-random 256@0x1000 --info-copy 0x8000");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  BirdFile file(out.c_str());
  ASSERT_EQ(file.blockCount, 3u);
  EXPECT_EQ(file.GetVersion(), "1.4.2");
  // The copy is firmware of its own at the address given, byte for byte the information block.
  EXPECT_EQ(file.blocks[2].type, BirdFile::BLOCK_FIRMWARE);
  EXPECT_EQ(file.blocks[2].address, 0x8000u);
  ASSERT_EQ(file.blocks[2].length, 4u + 64u);
  EXPECT_EQ(Bytes(file.blocks[2].data + 4, file.blocks[2].data + 68), InfoBody("1420", "1.4.2", "0000BEEF", "Holvex"));
}
