// The dated history of everything that touched a module: downloads, transfers,
// verified returns, recoveries through a boot ROM and fingerprints read.
//
// It lives in the module's settings file beside the LATEST_* keys, which stay
// and keep being written. Each event is one key of a ring, HISTORY_00 to
// HISTORY_63, and HISTORY_NEXT counts the events ever recorded: the 65th event
// overwrites the first, so the file stays small however long a module lives.
// An older updater keeps keys it does not know when it rewrites the file, so
// the history survives it. A value reads
//   HISTORY_07=7;2026-12-09T15:57:22.123Z;download;build=1420;file=1420.bird
// (sequence number, UTC date, kind, then name=value fields; "%", ";" and line
// ends inside a value are written as %25, %3B, %0A, %0D). Fields a reader does
// not know are passed over.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

class KeyValueStore;
class UpdaterDisplayInterface;

struct HistoryEvent {
  enum class Kind { Download, Transfer, Verified, Recovery, Fingerprint };
  // How a recovery was shown to have worked.
  static constexpr const char* kFlashReadBack = "flash-read-back";  // the chip compared its flash with the image
  static constexpr const char* kRunningBuild = "running-build";     // the module came back running the build

  Kind kind = Kind::Download;
  uint64_t sequence = 0;    // order within the entry, from 0
  std::string date;         // UTC, "2026-12-09T15:57:22.123Z"
  uint32_t build = 0;       // the build downloaded, sent, seen running or written; 0 when unknown
  std::string file;         // the image: a file name in the module's store directory, else an absolute path
  std::string chip;         // recovery and fingerprint: "LPC" or "i.MX"
  std::string fingerprint;  // recovery and fingerprint: "12345678 9ABCDEF0 0F1E2D3C 4B5A6978"
  std::string check;        // recovery: kFlashReadBack or kRunningBuild; empty when it failed
  bool succeeded = true;    // recovery: false when the chip was not (or not provably) programmed

  static HistoryEvent Download(uint32_t build, const std::string& file);
  static HistoryEvent Transfer(uint32_t build, const std::string& file);
  static HistoryEvent Verified(uint32_t build);
  static HistoryEvent Recovery(bool lpc, const uint32_t fingerprint[4], uint32_t build, const std::string& file,
                               bool succeeded);
  static HistoryEvent FingerprintRead(bool lpc, const uint32_t fingerprint[4]);

  // "download", "transfer", "verified", "recovery", "fingerprint"
  static const char* KindName(Kind kind);
  // The words -N shows, without its brackets.
  static std::string FingerprintText(const uint32_t fingerprint[4]);
  // Now, as the date field holds it.
  static std::string Now();
};

namespace ModuleHistory {

const unsigned kSlots = 64;
// The serial number a chip's recovery loader answers under when it knows no module.
const uint32_t kLoaderSerial = 0xDEADDEAD;
// The store entry for chips whose module is not known (a fingerprint read
// without -d, a recovery from a file naming no module). Its name is no serial
// number, so nothing takes it for a module.
extern const char* const kChipsEntry;

// Gives the events the next sequence numbers and writes them into `settings`.
// Called with the file's current entries under the entry's lock, so that two
// runs never take the same slot.
void Append(KeyValueStore& settings, std::vector<HistoryEvent>& events);
// The events the settings hold, oldest first; values that cannot be read are passed over.
std::vector<HistoryEvent> Read(const KeyValueStore& settings);

// Records one event in the module's entry, made when missing, under the
// entry's lock with the store's atomic write. A serial number of 0 or the
// loader's goes to the chips' entry. A successful recovery also becomes the
// entry's latest transfer. False when it could not be recorded (the debug
// log says why); `display` hears of a lock the run had to wait for.
bool Record(const std::string& updaterDirectory, uint32_t serialNumber, HistoryEvent event,
            UpdaterDisplayInterface* display);

// `path` from the root (resolved against the working directory when relative).
std::string AbsolutePath(const std::string& path);

}  // namespace ModuleHistory
