// The public keys whose signatures the updater trusts: PEM files (*.pem or
// *.pub, Ed25519, as `openssl pkey -pubout` writes them) in the system's key
// directory and in the user's, beside the store; UPDATER_TRUSTED_KEYS names a
// directory used instead of both.
#pragma once
#include <memory>
#include <string>
#include <vector>

class TrustedKeys {
public:
  static const char* const kSystemDirectory;
  static const char* const kEnvironment;

  // Loads the keys of the directories that apply; `updaterDirectory` is the
  // store (its parent holds the user's keys.d).
  static TrustedKeys Load(const std::string& updaterDirectory);
  // The directories consulted, in order.
  static std::vector<std::string> Directories(const std::string& updaterDirectory);
  // Loads one PEM public key file; false (with why) when it is no Ed25519 key.
  bool AddFile(const std::string& path, std::string& problem);

  // Installed at all: also a file that is no usable key counts, so a damaged
  // key file makes every image refused rather than every image accepted.
  bool Installed() const { return !keys.empty() || !unusable.empty(); }
  // True when the key with that identifier is trusted and made `signature` over `message`.
  bool Known(const std::string& keyId) const;
  bool Verify(const std::string& keyId, const std::vector<uint8_t>& message,
              const std::vector<uint8_t>& signature) const;
  // Key files that could not be used, each with why.
  const std::vector<std::string>& Unusable() const { return unusable; }

private:
  struct Key {
    std::string id;
    std::vector<uint8_t> raw;
  };
  void AddDirectory(const std::string& directory);
  std::vector<Key> keys;
  std::vector<std::string> unusable;
};
