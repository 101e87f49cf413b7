// Recovery of an NXP LPC17xx through its boot ROM's serial ISP: the chip's
// fingerprint, then the whole flash erased and the image programmed window by
// window, each read back by the chip itself.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "aError.h"
#include "recovery/lpc/LpcFirmware.h"

class BirdFile;
class NXPSerialClass;
class UpdaterDisplayInterface;
struct Fingerprint;

class LpcRecovery {
public:
  enum class Found {
    NotLpc,  // nothing on the port took the handshake
    Failed,  // an LPC boot ROM synchronised, then failed (the error is shown)
    Ok,
  };
  // The rate the fingerprint step synchronises at, whatever rate programs.
  static constexpr unsigned kFingerprintBaud = 115200;

  explicit LpcRecovery(UpdaterDisplayInterface& display);

  // Synchronises at `baud`'s rate, else at kFingerprintBaud; leaves the chip
  // synchronised in ISP command mode for Program. A port that answered those
  // with bytes of neither ISP nor SDP may hold a chip a run left at another
  // rate: it is looked for in ISP command mode at every other rate.
  Found GetFingerprint(const std::string& port, unsigned baud, Fingerprint& fp);
  // The rates the handshake went out at, in order; empty when the port did not open.
  const std::vector<unsigned>& TriedRates() const { return tried; }
  // Whether the port answered the handshake with an SDP reply: an i.MX boot ROM is there.
  bool HeardImx() const { return heardImx; }
  // `image` holds the decoded firmware; the chip was synchronised by GetFingerprint.
  bool Program(BirdFile& image, const std::string& port, unsigned baud);
  // After a failed Program: the link library's code of the step that failed, aErrNone when it names none.
  aErr Error() const { return error; }
  // After Program: the bytes of flash the chip compared equal to what was staged.
  uint64_t ReadBackBytes() const { return compared; }

private:
  static std::map<std::string, unsigned>& AnsweredRates();
  aErr SyncAt(NXPSerialClass& isp, const std::string& port, unsigned rate);
  // What the port sent back at one rate: true when it holds an SDP reply.
  static bool HeardSdp(const std::string& heard);
  aErr ResumeAtOtherRates(NXPSerialClass& isp, const std::string& port);
  bool Run(const LpcFirmware& firmware, NXPSerialClass& isp, const std::string& port, unsigned baud);
  bool Open(NXPSerialClass& isp, const std::string& port, unsigned baud);
  bool Erase(NXPSerialClass& isp);
  bool ProgramBlock(NXPSerialClass& isp, const BirdBlock& block, std::vector<uint8_t>& shadow);
  bool ProgramStage(NXPSerialClass& isp, const LpcFirmware::Stage& stage, const std::vector<uint8_t>& shadow);
  bool ReadBack(NXPSerialClass& isp, const LpcFirmware::Stage& stage);
  bool Start(NXPSerialClass& isp);
  // Records the line shown when the recovery stops, after the progress line has ended.
  void Fail(const char* step, aErr err, const NXPSerialClass& isp);
  void FailText(const std::string& text, aErr err = aErrNone);
  bool Interrupted(const char* state);

  UpdaterDisplayInterface& display;
  std::vector<unsigned> tried;
  bool heardImx = false;
  std::string failure;
  aErr error = aErrNone;
  unsigned number = 0, total = 0;
  // Bytes of flash the chip compared equal to what was staged.
  uint64_t compared = 0;
};
