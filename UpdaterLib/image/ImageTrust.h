// Whether a loaded BIRD image may be used: with at least one trusted key
// installed, only an image signed by one of them is; without any, every image
// is, as it always was. Every load path asks once, right after loading and
// before anything reaches a module, a chip or the store.
#pragma once
#include <stdexcept>
#include <string>
#include <vector>

class BirdFile;

struct ImageVerdict {
  enum Kind { Unsigned, Malformed, Trusted, UnknownKey, BadSignature };
  Kind kind = Unsigned;
  std::string file;     // the file's name, without its directory
  std::string path;     // the file as it was loaded (or is stored): tells one image judged twice from two
  std::string keyId;    // the key that signed it, when it names one
  std::string problem;  // Malformed: what is wrong with the signature block
  bool keysInstalled = false;

  bool Accepted() const { return !keysInstalled || kind == Trusted; }
  // The same file judged the same way (a download and the update that installs it).
  bool Repeats(const ImageVerdict& other) const {
    return SameFile(other) && kind == other.kind && keyId == other.keyId && problem == other.problem &&
           keysInstalled == other.keysInstalled;
  }
  // One file whatever path reached it (another spelling, a symbolic link, a bind mount): the
  // same device and inode as the files are now, else, when either cannot be read, the same path.
  bool SameFile(const ImageVerdict& other) const;
  // "unsigned", "signed by key …, no trusted key installed", "signed by trusted key …".
  std::string Describe() const;
  // "Bird file 1420.bird is not signed by a trusted key (signed by 3F2A…)".
  std::string Refusal() const;
  // The verdict's name in --json: unsigned, malformed, trusted, unknown_key, bad_signature.
  const char* Name() const;
};

// Thrown by ImageTrust::Require; its text is the refusal line.
class UntrustedImage : public std::runtime_error {
public:
  explicit UntrustedImage(const ImageVerdict& v) : std::runtime_error(v.Refusal()), verdict(v) {}
  ImageVerdict verdict;
};

namespace ImageTrust {

// Judges the image against the keys that apply to the store at
// `updaterDirectory`, and records the verdict for the run's result.
ImageVerdict Judge(const BirdFile& file, const std::string& updaterDirectory);
// Judges, and throws UntrustedImage when the image may not be used.
void Require(const BirdFile& file, const std::string& updaterDirectory);
// The verdicts of this run, in the order they were made.
std::vector<ImageVerdict> Recorded();

}  // namespace ImageTrust
