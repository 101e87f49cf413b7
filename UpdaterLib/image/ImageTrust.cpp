#include "image/ImageTrust.h"

#include <sys/stat.h>

#include <mutex>

#include "Log.h"
#include "image/BirdFile.h"
#include "image/BirdSignature.h"
#include "image/TrustedKeys.h"

namespace {

std::mutex sMutex;
std::vector<ImageVerdict> sRecorded;

std::string sBaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

ImageVerdict::Kind sKind(const BirdSignature::Parsed& parsed, const TrustedKeys& keys) {
  if (parsed.state == BirdSignature::Parsed::Unsigned)
    return ImageVerdict::Unsigned;
  if (parsed.state == BirdSignature::Parsed::Malformed)
    return ImageVerdict::Malformed;
  if (!keys.Known(parsed.keyId))
    return ImageVerdict::UnknownKey;
  if (!parsed.checksumMatches || !keys.Verify(parsed.keyId, parsed.message, parsed.signature))
    return ImageVerdict::BadSignature;
  return ImageVerdict::Trusted;
}

}  // namespace

std::string ImageVerdict::Describe() const {
  switch (kind) {
    case Unsigned: return "unsigned";
    case Malformed: return "signature not readable: " + problem;
    case Trusted: return "signed by trusted key " + keyId;
    case UnknownKey:
      return "signed by key " + keyId + (keysInstalled ? ", which is not trusted" : ", no trusted key installed");
    case BadSignature: return "signed by key " + keyId + ", but the signature does not match the file";
  }
  return std::string();
}

std::string ImageVerdict::Refusal() const {
  std::string why;
  switch (kind) {
    case Unsigned: why = "unsigned"; break;
    case Malformed: why = problem; break;
    case UnknownKey: why = "signed by " + keyId; break;
    case BadSignature: why = "signed by " + keyId + ", but the signature does not match the file"; break;
    case Trusted: break;
  }
  return "Bird file " + file + " is not signed by a trusted key (" + why + ")";
}

// Read when asked, not when judged: a download is judged before it is stored, and the
// update after it loads the file stored.
bool ImageVerdict::SameFile(const ImageVerdict& other) const {
  struct stat mine, theirs;
  if (stat(path.c_str(), &mine) == 0 && stat(other.path.c_str(), &theirs) == 0)
    return mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino;
  return path == other.path;
}

const char* ImageVerdict::Name() const {
  static const char* const names[] = {"unsigned", "malformed", "trusted", "unknown_key", "bad_signature"};
  return names[kind];
}

ImageVerdict ImageTrust::Judge(const BirdFile& file, const std::string& updaterDirectory) {
  TrustedKeys keys = TrustedKeys::Load(updaterDirectory);
  BirdSignature::Parsed parsed = BirdSignature::Parse(file);
  ImageVerdict verdict;
  verdict.file = sBaseName(file.filename);
  verdict.path = file.filename;
  verdict.keyId = parsed.keyId;
  verdict.problem = parsed.problem;
  verdict.keysInstalled = keys.Installed();
  verdict.kind = sKind(parsed, keys);
  Log::log(DEBUG_BirdFile, "BIRDFILE: Signature of %s: %s\n", file.filename.c_str(), verdict.Describe().c_str());
  std::lock_guard<std::mutex> lock(sMutex);
  sRecorded.push_back(verdict);
  return verdict;
}

void ImageTrust::Require(const BirdFile& file, const std::string& updaterDirectory) {
  ImageVerdict verdict = Judge(file, updaterDirectory);
  if (!verdict.Accepted())
    throw UntrustedImage(verdict);
}

std::vector<ImageVerdict> ImageTrust::Recorded() {
  std::lock_guard<std::mutex> lock(sMutex);
  return sRecorded;
}
