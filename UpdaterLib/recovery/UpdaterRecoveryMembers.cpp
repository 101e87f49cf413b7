// Updater's recovery members: each hands over to Recovery.
#include "Updater.h"
#include "recovery/Recovery.h"

FingerprintOutcome Updater::Read_Fingerprint(const std::string& port, unsigned serial, const std::string& birdFile,
                                             unsigned baud, bool reset) {
  return Recovery(serverUrl, updaterDirectory, display).ReadFingerprint(port, serial, birdFile, baud, reset);
}

RecoveryOutcome Updater::Recover(const std::string& port, unsigned build, unsigned baud, unsigned serial,
                                 const std::string& birdFile) {
  return Recovery(serverUrl, updaterDirectory, display).Recover(port, build, baud, serial, birdFile);
}

bool Updater::Get_Fingerprint(Fingerprint& fp, std::string port, unsigned serial, std::string birdFile, unsigned baud,
                              bool reset) {
  FingerprintOutcome outcome = Read_Fingerprint(port, serial, birdFile, baud, reset);
  fp = outcome.fingerprint;
  return outcome.read;
}

bool Updater::Recover_Firmware(std::string port, unsigned build, unsigned baud, unsigned serial, std::string birdFile,
                               bool) {
  return Recover(port, build, baud, serial, birdFile).module.succeeded;
}

uint32_t Updater::Download_Firmware(Fingerprint fp, std::string build, bool override) {
  return Recovery(serverUrl, updaterDirectory, display).DownloadByFingerprint(fp, build, override);
}
