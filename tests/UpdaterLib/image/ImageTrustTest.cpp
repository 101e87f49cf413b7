// Which keys a station trusts and what a damaged key directory does.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "BirdSigning.h"
#include "BirdWriter.h"
#include "TestSupport.h"
#include "image/BirdFile.h"
#include "image/ImageTrust.h"
#include "image/TrustedKeys.h"

using testsupport::TempDir;

namespace {

// A public and a private key as PEM files in `dir`, made through OpenSSL's API.
void WriteKeyPair(const TempDir& dir, const std::string& name) {
  EVP_PKEY* key = nullptr;
  std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX*)> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr),
                                                            EVP_PKEY_CTX_free);
  ASSERT_TRUE(ctx && EVP_PKEY_keygen_init(ctx.get()) == 1 && EVP_PKEY_keygen(ctx.get(), &key) == 1);
  FILE* pub = fopen(dir.file(name + ".pub").c_str(), "w");
  FILE* pem = fopen(dir.file(name + ".pem").c_str(), "w");
  PEM_write_PUBKEY(pub, key);
  PEM_write_PrivateKey(pem, key, nullptr, nullptr, 0, nullptr, nullptr);
  fclose(pub);
  fclose(pem);
  EVP_PKEY_free(key);
}

BirdFile SignedWith(const std::string& pem) {
  birdwriter::PKey key = birdwriter::ReadEd25519Key(pem, true);
  std::vector<birdwriter::Block> blocks = {birdwriter::InfoBlock(7, "1.0", 0, "Holvex"),
                                           birdwriter::AddressedBlock(birdwriter::kFirmware, 0x1000,
                                                                      birdwriter::RandomBytes(512, 3))};
  std::vector<uint8_t> bytes = birdwriter::SignedFile(blocks, key.get());
  BirdFile file;
  file.filename = "/somewhere/7.bird";
  EXPECT_TRUE(file.LoadBytes(bytes.data(), bytes.size()));
  return file;
}

}  // namespace

TEST(ImageTrust, KeyDirectoriesAndADamagedKeyFileThatTrustsNothing) {
  TempDir keys, other;
  WriteKeyPair(keys, "maker");
  unsetenv(TrustedKeys::kEnvironment);
  EXPECT_EQ(TrustedKeys::Directories("/home/ann/.tessoral/updater/"),
            (std::vector<std::string>{"/etc/kovalink-updater/keys.d", "/home/ann/.tessoral/keys.d"}));
  setenv(TrustedKeys::kEnvironment, keys.path().c_str(), 1);
  EXPECT_EQ(TrustedKeys::Directories("/home/ann/.tessoral/updater"), std::vector<std::string>{keys.path()});

  BirdFile file = SignedWith(keys.file("maker.pem"));
  ImageVerdict verdict = ImageTrust::Judge(file, "/nowhere/updater");
  EXPECT_EQ(verdict.kind, ImageVerdict::Trusted);
  EXPECT_EQ(verdict.file, "7.bird");
  EXPECT_TRUE(verdict.Accepted());

  // Only *.pem and *.pub are keys; a damaged one counts as installed and trusts nothing.
  setenv(TrustedKeys::kEnvironment, other.path().c_str(), 1);
  testsupport::WriteFile(other.file("README"), "not a key");
  EXPECT_TRUE(ImageTrust::Judge(file, "/nowhere/updater").Accepted());
  testsupport::WriteFile(other.file("broken.pub"), "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n");
  verdict = ImageTrust::Judge(file, "/nowhere/updater");
  EXPECT_FALSE(verdict.Accepted());
  EXPECT_EQ(verdict.Refusal(), "Bird file 7.bird is not signed by a trusted key (signed by " + verdict.keyId + ")");
  EXPECT_THROW(ImageTrust::Require(file, "/nowhere/updater"), UntrustedImage);
  // A key directory named that does not exist turns nothing off either.
  setenv(TrustedKeys::kEnvironment, other.file("missing").c_str(), 1);
  EXPECT_FALSE(ImageTrust::Judge(file, "/nowhere/updater").Accepted());
  unsetenv(TrustedKeys::kEnvironment);
}
