#include "RecoveryCommand.h"

#include "Listings.h"
#include "aNumber.h"

namespace {

// The serial number under which a chip in recovery mode is known.
const uint32_t kUnknownSerialNumber = 0xDEADDEAD;

}  // namespace

int RunFingerprint(Parameters& p, Updater& updater, UpdaterDisplayInterface& display, RunRecord& record) {
  if (p.serialPort.empty()) {
    record.refusal = {aErrParam, "Must specify the serial port used for connecting"};
    display.message(UpdaterDisplayInterface::Error, "%s", record.refusal.text.c_str());
    return -1;
  }
  // -d names the module whose image (-f, or the store's) brings an i.MX recovery loader.
  uint32_t serial = p.serialNumber != 0 ? p.serialNumber : kUnknownSerialNumber;
  FingerprintOutcome outcome =
      updater.Read_Fingerprint(p.serialPort, serial, p.birdFile, static_cast<unsigned>(p.baudRate), true);
  record.fingerprint.ran = true;
  record.fingerprint.outcome = outcome;
  if (!outcome.read) {
    // A port or image refused before any chip was asked has said so in its own line.
    if (outcome.chipTried)
      display.message(UpdaterDisplayInterface::Error, "Got no response from chip");
    return 1;
  }
  cli::_display_fingerprint(display, outcome.fingerprint);
  return 0;
}

int RunRecovery(Parameters& p, Updater& updater, UpdaterDisplayInterface&, RunRecord& record) {
  uint32_t build = 0;  // the server's choice, unless -b named one
  aNumber_ParseU32(p.build.c_str(), 10, &build);
  RecoveryOutcome outcome =
      updater.Recover(p.serialPort, build, static_cast<unsigned>(p.baudRate), p.serialNumber, p.birdFile);
  // A recovery is the update of its module: its result stands among the update's.
  record.updates.ran = true;
  record.updates.buildRequested = build;
  record.updates.outcomes.push_back(outcome.module);
  record.recovery.ran = true;
  record.recovery.outcome = outcome;
  return outcome.module.succeeded ? 0 : 1;
}
