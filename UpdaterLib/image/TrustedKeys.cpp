#include "image/TrustedKeys.h"

#include <dirent.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Log.h"
#include "image/BirdSignature.h"

const char* const TrustedKeys::kSystemDirectory = "/etc/kovalink-updater/keys.d";
const char* const TrustedKeys::kEnvironment = "UPDATER_TRUSTED_KEYS";

namespace {

using PKey = std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)>;

bool sIsKeyFileName(const std::string& name) {
  auto endsWith = [&](const char* suffix) {
    size_t n = strlen(suffix);
    return name.size() > n && name.compare(name.size() - n, n, suffix) == 0;
  };
  return name[0] != '.' && (endsWith(".pem") || endsWith(".pub"));
}

// The directory's key files in name order, so the outcome never depends on the listing's order.
std::vector<std::string> sKeyFiles(const std::string& directory) {
  std::vector<std::string> names;
  DIR* dir = opendir(directory.c_str());
  if (!dir)
    return names;
  while (struct dirent* entry = readdir(dir))
    if (sIsKeyFileName(entry->d_name))
      names.push_back(entry->d_name);
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

PKey sReadPublicKey(const std::string& path, std::string& problem) {
  PKey key(nullptr, EVP_PKEY_free);
  FILE* file = fopen(path.c_str(), "r");
  if (!file) {
    problem = strerror(errno);
    return key;
  }
  key.reset(PEM_read_PUBKEY(file, nullptr, nullptr, nullptr));
  fclose(file);
  if (!key)
    problem = "not a public key in PEM";
  else if (EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519) {
    problem = "not an Ed25519 key";
    key.reset();
  }
  return key;
}

}  // namespace

std::vector<std::string> TrustedKeys::Directories(const std::string& updaterDirectory) {
  const char* chosen = getenv(kEnvironment);
  if (chosen && *chosen)
    return {chosen};
  std::vector<std::string> directories = {kSystemDirectory};
  std::string store = updaterDirectory;
  while (store.size() > 1 && store.back() == '/')
    store.pop_back();
  size_t slash = store.find_last_of('/');
  if (slash != std::string::npos && slash > 0)
    directories.push_back(store.substr(0, slash) + "/keys.d");
  return directories;
}

TrustedKeys TrustedKeys::Load(const std::string& updaterDirectory) {
  TrustedKeys trusted;
  for (const std::string& directory : Directories(updaterDirectory))
    trusted.AddDirectory(directory);
  // A directory named on purpose that is not there is a mistake, not "no keys":
  // it must not turn the checks off.
  const char* chosen = getenv(kEnvironment);
  struct stat info;
  if (chosen && *chosen && (stat(chosen, &info) != 0 || !S_ISDIR(info.st_mode))) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: %s names no directory: %s\n", kEnvironment, chosen);
    trusted.unusable.push_back(std::string(chosen) + ": no such directory");
  }
  return trusted;
}

void TrustedKeys::AddDirectory(const std::string& directory) {
  for (const std::string& name : sKeyFiles(directory)) {
    std::string path = directory + "/" + name, problem;
    if (!AddFile(path, problem)) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: Trusted key file %s not used: %s\n", path.c_str(), problem.c_str());
      unusable.push_back(path + ": " + problem);
    }
  }
}

bool TrustedKeys::AddFile(const std::string& path, std::string& problem) {
  PKey key = sReadPublicKey(path, problem);
  if (!key)
    return false;
  Key entry;
  entry.raw.resize(32);
  size_t length = entry.raw.size();
  if (EVP_PKEY_get_raw_public_key(key.get(), entry.raw.data(), &length) != 1 || length != 32) {
    problem = "its raw public key cannot be read";
    return false;
  }
  entry.id = BirdSignature::KeyIdOf(entry.raw.data(), entry.raw.size());
  Log::log(DEBUG_BirdFile, "BIRDFILE: Trusted key %s from %s\n", entry.id.c_str(), path.c_str());
  keys.push_back(entry);
  return true;
}

bool TrustedKeys::Known(const std::string& keyId) const {
  return std::any_of(keys.begin(), keys.end(), [&](const Key& k) { return k.id == keyId; });
}

bool TrustedKeys::Verify(const std::string& keyId, const std::vector<uint8_t>& message,
                         const std::vector<uint8_t>& signature) const {
  for (const Key& k : keys) {
    if (k.id != keyId)
      continue;
    PKey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, k.raw.data(), k.raw.size()), EVP_PKEY_free);
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (key && ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
        EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(), message.size()) == 1)
      return true;
  }
  return false;
}
