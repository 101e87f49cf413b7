// The lab server's own reading and rewriting of BIRD files: just enough of the
// format to learn a file's build, version and model and to stamp a module's
// serial number into its information block. Written apart from the updater's
// BIRD classes so the lab does not check the updater against itself.
#pragma once
#include <cstdint>
#include <string>

typedef struct evp_pkey_st EVP_PKEY;

struct LabBirdInfo {
  uint32_t build = 0;
  std::string version;
  std::string model;
  uint32_t serial = 0;
};

// Reads a whole file into `bytes`; false when it cannot be read.
bool LabReadFile(const std::string& path, std::string& bytes);

// Fills `info` from the first information block of a BIRD file's bytes.
bool LabBirdDescribe(const std::string& file, LabBirdInfo& info, std::string& error);

// The same file with `serial` written as 8 upper-case hex digits into the
// information block, recompressed; the 6-byte header is kept as it was. A
// file that already holds that serial number is returned unchanged. A signed
// file is signed again with `signingKey` (Ed25519) when one is given.
bool LabBirdForModule(const std::string& file, uint32_t serial, std::string& out, std::string& error,
                      EVP_PKEY* signingKey = nullptr);

// Standard base64 with "=" padding, as the server sends BIRD files.
std::string LabBase64Encode(const std::string& bytes);
