// Signed BIRD files end to end: images altered in every part, or signed by a key
// the station does not trust, are refused by -C, -U, recovery and -G before the
// module, the chip or the store gets anything; without a trusted key installed
// they are accepted as they always were.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "BirdSigning.h"
#include "JsonSchemaCheck.h"
#include "BirdWriter.h"
#include "LabLpcSupport.h"
#include "LabNetwork.h"
#include "LabServerSupport.h"
#include "TestSupport.h"

using testsupport::LabNetwork;
using testsupport::RunResult;
using testsupport::TempDir;

namespace {

typedef std::vector<uint8_t> Bytes;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// An Ed25519 key pair made as a maker makes it: NAME.pem (private), NAME.pub.
void MakeKey(const TempDir& dir, const std::string& name) {
  std::string pem = dir.file(name + ".pem"), pub = dir.file(name + ".pub");
  ASSERT_EQ(testsupport::RunProgram({"/usr/bin/env", "openssl", "genpkey", "-algorithm", "ed25519", "-out", pem}).exitCode, 0);
  ASSERT_EQ(testsupport::RunProgram({"/usr/bin/env", "openssl", "pkey", "-in", pem, "-pubout", "-out", pub}).exitCode, 0);
}

std::string KeyIdOf(const std::string& pub) {
  birdwriter::PKey key = birdwriter::ReadEd25519Key(pub, false);
  Bytes id = birdwriter::KeyId(key.get());
  return birdwriter::HexText(id.data(), id.size());
}

// 4 KB of firmware carrying its information block, as the lab's modules expect.
std::string ImageFile(const TempDir& dir, uint32_t build) {
  Bytes image = birdwriter::RandomBytes(4096, 0xC0FFEE);
  birdwriter::Block info = birdwriter::InfoBlock(build, "1.3.0", 0, "Holvex");
  std::copy(info.content.begin(), info.content.end(), image.begin() + 0x400);
  std::string path = dir.file("image-" + std::to_string(build) + ".bin");
  testsupport::WriteFile(path, std::string(image.begin(), image.end()));
  return path;
}

// birdpack writes (and with a key signs) build BUILD for module 0000BEEF.
Bytes Birdpack(const TempDir& dir, uint32_t build, const std::string& key) {
  std::string out = dir.file("made.bird");
  std::vector<std::string> argv = {testsupport::BinPath("birdpack"), "-o", out, "--model", "17", "--build",
                                   std::to_string(build), "--version", "1.3.0", "--serial", "0000BEEF",
                                   "--loader-random", "300@0x20000000", "--firmware", ImageFile(dir, build) + "@0",
                                   "--serial-offsets", "0x100,0x200"};
  if (!key.empty())
    argv.insert(argv.end(), {"--sign", key});
  testsupport::ProgramResult r = testsupport::RunProgram(argv);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return ToBytes(testsupport::ReadFile(out));
}

// Framing offsets of the content's blocks.
std::vector<size_t> BlockStarts(const Bytes& content) {
  std::vector<size_t> starts;
  for (size_t pos = 4; pos + 9 <= content.size(); pos += 5 + birdwriter::GetBE32(&content[pos + 1]))
    starts.push_back(pos);
  return starts;
}

// The content framed again, its CRC-32 recomputed so that only the signature can tell.
Bytes Refit(Bytes content) {
  birdwriter::PutCrc(content);
  return birdwriter::EncodeLoadableFile(content);
}

// The file with one byte of block `index` flipped, its CRC made to fit.
Bytes Flipped(const Bytes& file, size_t index) {
  Bytes content = birdwriter::DecodeContent(file);
  size_t at = BlockStarts(content).at(index);
  content[at + 5 + birdwriter::GetBE32(&content[at + 1]) / 2] ^= 0x01;
  return Refit(content);
}

struct Variant {
  Bytes file;
  std::string why;  // what the refusal names
};

// Every way the signed file `good` can be altered; `other` is another file
// signed by the same key, `foreign` the good file signed by an untrusted key.
std::map<std::string, Variant> Tampered(const Bytes& good, const Bytes& other, const Bytes& unsigned_,
                                        const Bytes& foreign, const std::string& foreignId) {
  const std::string mismatch = "but the signature does not match the file)";
  std::map<std::string, Variant> variants;
  Bytes content = birdwriter::DecodeContent(good);
  std::vector<size_t> starts = BlockStarts(content);
  for (size_t i = 0; i < starts.size(); i++)
    variants["block" + std::to_string(i) + "-type" + std::to_string(content[starts[i]])] = {Flipped(good, i), mismatch};
  Bytes v = content;
  v[3] ^= 0x01;
  variants["count"] = {Refit(v), "its block count does not match its blocks)"};
  v = good;
  v[5] ^= 0x02;  // format 0x0103: still a header every loader takes
  variants["header"] = {v, mismatch};
  v = content;
  v.back() ^= 0x01;
  variants["checksum"] = {birdwriter::EncodeLoadableFile(v), mismatch};
  const size_t sig = starts.back();
  const Bytes block(content.begin() + long(sig), content.end() - 4);
  v = content;
  v.erase(v.begin() + long(sig), v.end() - 4);
  v.insert(v.begin() + 4, block.begin(), block.end());
  variants["moved"] = {Refit(v), "its signature block is not the last block)"};
  v = content;
  v.insert(v.begin() + long(sig), block.begin(), block.end());
  v[3] += 1;
  variants["duplicated"] = {Refit(v), "it holds more than one signature block)"};
  Bytes otherContent = birdwriter::DecodeContent(other);
  v = content;
  std::copy(otherContent.end() - 4 - long(block.size()), otherContent.end() - 4, v.begin() + long(sig));
  variants["other-file"] = {Refit(v), mismatch};
  variants["unsigned"] = {unsigned_, "(unsigned)"};
  variants["untrusted-key"] = {foreign, "(signed by " + foreignId + ")"};
  return variants;
}

std::string Write(const TempDir& dir, const std::string& name, const Bytes& bytes) {
  testsupport::WriteFile(dir.file(name), std::string(bytes.begin(), bytes.end()));
  return dir.file(name);
}

std::string Refusal(const std::string& name) { return "Bird file " + name + " is not signed by a trusted key ("; }

}  // namespace

TEST(SignedImageE2E, AlteredOrForeignImagesAreRefusedBeforeAnythingHearsThem) {
  LabNetwork net;
  if (!net.ok()) GTEST_SKIP() << net.error();
  unsetenv("UPDATER_TRUSTED_KEYS");  // the per-user key directory beside the store is used
  TempDir work, catalogue, dumps, romDir;
  MakeKey(work, "maker");
  MakeKey(work, "stranger");
  const Bytes good = Birdpack(work, 1300, work.file("maker.pem"));
  const Bytes other = Birdpack(work, 1310, work.file("maker.pem"));
  const Bytes plain = Birdpack(work, 1320, "");
  const Bytes foreign = Birdpack(work, 1330, work.file("stranger.pem"));
  const std::map<std::string, Variant> variants =
      Tampered(good, other, plain, foreign, KeyIdOf(work.file("stranger.pub")));
  EXPECT_EQ(testsupport::RunProgram({testsupport::BinPath("birdpack"), "--verify", work.file("maker.pub"),
                                     Write(work, "good.bird", good)}).exitCode, 0);

  mkdir(catalogue.file("Holvex").c_str(), 0755);
  Write(catalogue, "Holvex/1300.bird", good);
  Write(catalogue, "Holvex/1320.bird", plain);
  Write(catalogue, "Holvex/1330.bird", foreign);
  Write(catalogue, "Holvex/1310.bird", Flipped(other, 2));  // its firmware altered
  const std::string modulesSpec = "serial=0000BEEF,model=17,port=9000,build=1000,reboot-delay=200";
  int modules = net.startLab({"modules", "--module", modulesSpec, "--dump-dir", dumps.path()});
  ASSERT_GE(modules, 0) << net.error();
  ASSERT_GE(net.startLab({"server", "--catalogue", catalogue.path(), "--device", "0000BEEF:Holvex", "--host",
                          net.labAddress(), "--port", "8080"}), 0) << net.error();
  const std::string url = "http://" + net.labAddress() + ":8080/cgi/u";
  testsupport::LabLpcProcess rom(romDir.path());
  ASSERT_TRUE(rom.ok());
  const std::string keys = net.storeDir() + "/keys.d";
  mkdir(keys.c_str(), 0755);
  testsupport::WriteFile(keys + "/maker.pub", testsupport::ReadFile(work.file("maker.pub")));

  for (const auto& v : variants) {
    const std::string name = v.first + ".bird", path = Write(work, name, v.second.file);
    for (std::vector<std::string> args : {std::vector<std::string>{"-C", "-f", path},
                                          {"-U", "-d", "0000BEEF", "-f", path, "-u", url},
                                          {"-U", "-t", "RECOVER", "-s", rom.pty(), "-f", path, "-u", url}}) {
      RunResult r = net.runUpdater(args);
      EXPECT_EQ(r.exitCode, 1) << args[0] << " " << name << "\n" << r.out << r.err;
      EXPECT_TRUE(Has(r.err, Refusal(name))) << args[1] << " " << name << "\n" << r.err;
      EXPECT_TRUE(Has(r.err, v.second.why)) << name << ": " << r.err;
    }
  }
  for (const char* build : {"1310", "1320", "1330"}) {
    RunResult r = net.runUpdater({"-G", "-d", "0000BEEF", "-b", build, "-u", url});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_TRUE(Has(r.err, Refusal(std::string(build) + ".bird"))) << r.err;
    struct stat info;
    EXPECT_NE(stat((net.storeDir() + "/updater/0000BEEF/" + build + ".bird").c_str(), &info), 0) << build;
  }
  // Nothing reached the module or the chip.
  net.stopLab(modules);
  EXPECT_TRUE(Has(net.labOutput(modules), "0000BEEF: links 0, requests 0,")) << net.labOutput(modules);
  rom.Stop();
  EXPECT_TRUE(rom.received().empty()) << rom.account();

  // The maker's own image goes in; the JSON result names the verdict.
  modules = net.startLab({"modules", "--module", modulesSpec, "--dump-dir", dumps.path()});
  ASSERT_GE(modules, 0) << net.error();
  RunResult r = net.runUpdater({"-G", "-U", "-d", "0000BEEF", "-b", "1300", "-u", url, "--json"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "\"signature\": \"trusted\"")) << r.out;
  EXPECT_TRUE(Has(r.out, "\"key_id\": \"" + KeyIdOf(work.file("maker.pub")) + "\"")) << r.out;
  const nlohmann::json schema =
      nlohmann::json::parse(testsupport::ReadFile(testsupport::SourcePath("packaging/updater-result.schema.json")));
  EXPECT_TRUE(jsonschema::Problems(schema, nlohmann::json::parse(r.out)).empty()) << r.out;

  // Without a trusted key every variant is accepted, as before signatures existed.
  unlink((keys + "/maker.pub").c_str());
  for (const auto& v : variants) {
    RunResult c = net.runUpdater({"-C", "-f", work.file(v.first + ".bird")});
    EXPECT_EQ(c.exitCode, 0) << v.first << "\n" << c.out << c.err;
  }
  r = net.runUpdater({"-U", "-d", "0000BEEF", "-f", work.file("block2-type1.bird"), "-u", url});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}
