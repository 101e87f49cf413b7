// Helpers for the BIRD and store tests: building files and capturing the log.
#pragma once
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <sys/resource.h>
#include <string>
#include <vector>

#include "BirdWriter.h"
#include "Log.h"
#include "TestSupport.h"

namespace birdtest {

using Bytes = std::vector<uint8_t>;

// Redirects the debug log into a temporary file for the lifetime of the object.
class LogCapture {
public:
  explicit LogCapture(uint32_t mask) : file_(tmpfile()), previous_(Log::fh), previousMask_(Log::package_bitmask) {
    Log::SetOutput(file_);
    Log::ActivatePackage(mask);
  }
  ~LogCapture() {
    Log::SetOutput(previous_);
    Log::package_bitmask = previousMask_;
    fclose(file_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string Text() {
    fflush(file_);
    std::string text;
    rewind(file_);
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), file_)) > 0)
      text.append(chunk, n);
    fseek(file_, 0, SEEK_END);
    return text;
  }
  bool Contains(const std::string& needle) { return Text().find(needle) != std::string::npos; }

private:
  FILE* file_;
  FILE* previous_;
  uint32_t previousMask_;
};

// Makes writes beyond `bytes` fail (EFBIG) for the lifetime of the object: a
// real failing write, like a full disk, without touching the code under test.
class FileSizeLimit {
public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &previous_);
    previousHandler_ = signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {bytes, previous_.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &previous_);
    signal(SIGXFSZ, previousHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
  struct rlimit previous_;
  void (*previousHandler_)(int);
};

// A generic Holvex file as the lab modules take it: a loader, `imageBytes` of
// firmware at 0 carrying its own information block at 0x400 (as real firmware
// does, so a module reports the build it runs), and where the serial number goes.
inline std::string GenericHolvexBird(uint32_t build, const std::string& version, size_t imageBytes, uint32_t seed) {
  Bytes image = birdwriter::RandomBytes(imageBytes, seed);
  birdwriter::Block info = birdwriter::InfoBlock(build, version, 0, "Holvex");
  std::copy(info.content.begin(), info.content.end(), image.begin() + 0x400);
  Bytes bytes = birdwriter::EncodeFile(
      {birdwriter::InfoBlock(build, version, 0, "Holvex"),
       birdwriter::AddressedBlock(birdwriter::kLoader, 0x20000000, birdwriter::RandomBytes(300, 7)),
       birdwriter::AddressedBlock(birdwriter::kFirmware, 0, image, 2), birdwriter::SerialOffsetsBlock(0x100, 0x200)});
  return std::string(bytes.begin(), bytes.end());
}

inline void AppendBE32(Bytes& out, uint32_t value) { birdwriter::PutBE32(out, value); }

// Raw block framing, so tests can also write lengths that lie.
inline void AppendBlock(Bytes& content, uint8_t typeByte, const Bytes& body) {
  content.push_back(typeByte);
  AppendBE32(content, static_cast<uint32_t>(body.size()));
  content.insert(content.end(), body.begin(), body.end());
}

// A header with the given signature and version bytes plus the zlib body.
inline Bytes WrapContent(const Bytes& content, const char* signature = "bird", uint8_t v0 = 1, uint8_t v1 = 1) {
  Bytes file = birdwriter::EncodeFile(content);
  std::copy(signature, signature + 4, file.begin());
  file[4] = v0;
  file[5] = v1;
  return file;
}

inline std::string WriteBytes(const testsupport::TempDir& dir, const std::string& name, const Bytes& bytes) {
  std::string path = dir.file(name);
  testsupport::WriteFile(path, std::string(bytes.begin(), bytes.end()));
  return path;
}

// The 64-byte information block as the format lays it out.
inline Bytes InfoBody(const std::string& build, const std::string& version, const std::string& serial,
                      const std::string& model) {
  Bytes info(64, ' ');
  std::copy(build.begin(), build.end(), info.begin());
  std::copy(version.begin(), version.end(), info.begin() + 16);
  std::copy(serial.begin(), serial.end(), info.begin() + 32);
  std::copy(model.begin(), model.end(), info.begin() + 48);
  return info;
}

inline Bytes Addressed(uint32_t address, const Bytes& image) {
  return birdwriter::AddressedBlock(birdwriter::kFirmware, address, image).content;
}

}  // namespace birdtest
