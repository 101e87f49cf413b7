// The -U command: choose a build, load and patch its BIRD file, connect, transfer,
// wait for the module to come back with the new build, record.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "aError.h"
#include "aLinkSpec.h"
#include "UpdaterDisplayInterface.h"
#include "store/ModuleHistory.h"
#include "update/ErrorRecordingDisplay.h"
#include "update/ModuleOutcome.h"

class BirdFile;
class UpdaterStoreItem;
namespace Tessoral {
namespace Kovalink {
class Module;
}
}  // namespace Tessoral

class RouterRoute;

class FirmwareUpdate {
public:
  // Fetches a build into the store when the recovery flow needs one that is missing.
  typedef std::function<void(uint32_t serialNumber, uint32_t build)> Downloader;

  // How the module is reached: directly by serial number, or through a router.
  struct Route {
    uint32_t serialNumber = 0;
    uint32_t routerSerialNumber = 0;
    uint8_t moduleAddress = 0;  // behind a router; 0: look the serial number up on its network
    // The only transport the module (or its router) is looked for on; linkTypeInvalid: USB, then TCP/IP.
    linkType transport = linkTypeInvalid;
    // Where discovery already found the module; type linkTypeInvalid to look for it.
    // A known place is reached without a discovery, which only one thread may run at a time.
    linkSpec spec{};
  };

  FirmwareUpdate(const std::string& serverUrl, const std::string& updaterDirectory,
                 UpdaterDisplayInterface& display);
  ~FirmwareUpdate();

  // Updates the module: what it came to, its failure's line as the user was shown it.
  ModuleOutcome Run(const Route& route, uint32_t build, std::string birdFile, bool override);
  // Where a module that discovery found at `spec` is reached.
  static ModulePlace PlaceOf(const linkSpec& spec);

  // One module of several: a USB device that may not be opened is said for each module
  // (a single update has said it once, in the permission line).
  bool oneOfSeveral = false;

  // Steps shared with recovery.
  BirdFile LoadBird(const char* action, const std::string& birdFile, uint32_t serialNumber, uint32_t build,
                    const Downloader& download);
  // The checks of BirdCheck against the connected module, which must answer as `serialNumber`;
  // a refusal is shown with its reason. `override` skips the model check only.
  bool ValidateBirdFile(BirdFile& file, Tessoral::Kovalink::Module& module, uint32_t serialNumber,
                        bool override = false);
  aErr TransferLoader(Tessoral::Kovalink::Module& module, BirdFile& file);
  aErr TransferFirmware(Tessoral::Kovalink::Module& module, BirdFile& file);
  // Waits, as -U does, for the rebooted module to rejoin under `serialNumber` and checks it
  // runs `expectedBuild` (any build when 0); false, with the reason shown, otherwise.
  bool VerifyReturn(Tessoral::Kovalink::Module& module, uint32_t serialNumber, uint32_t expectedBuild);

  // Up to `rounds` rounds, 1 s apart, each trying every (transport, serial number) in
  // turn; true at the first that connects.
  static bool ConnectRounds(Tessoral::Kovalink::Module& module,
                            const std::vector<std::pair<linkType, uint32_t>>& targets, int rounds);
  // Waits up to 1 s for the module's link to be running (it resynchronises after noise).
  static void AwaitRunningLink(Tessoral::Kovalink::Module& module);
  // How long a rebooted module may take to come back: UPDATER_RETURN_TIMEOUT seconds, else 60 s.
  static uint64_t ReturnTimeoutMs();

private:
  enum class Outcome { Verified, Failed, Interrupted };
  // Reached and checked; not reached (the run goes on to its time line); or ended there.
  enum class Reach { Reached, Unreached, Ended };

  ModuleOutcome finish(bool verified, uint64_t startMs);
  void fail(aErr error);
  void readIdentity(Tessoral::Kovalink::Module& target);
  bool prepare(UpdaterStoreItem& item, BirdFile& file, std::string& birdFile, uint32_t serialNumber,
               uint32_t& build);
  Reach reach(Tessoral::Kovalink::Module& target, const Route& route, BirdFile& file, bool override);
  aErr continueTransfer(Tessoral::Kovalink::Module& target, BirdFile& file, const Route& route);
  Outcome conclude(Tessoral::Kovalink::Module& target, const Route& route, UpdaterStoreItem& item,
                   const std::string& birdFile, uint32_t expectedBuild, aErr err);
  bool findEntry(uint32_t serialNumber, UpdaterStoreItem& item);
  bool chooseBuild(UpdaterStoreItem& item, uint32_t serialNumber, uint32_t& build);
  bool prepareFile(BirdFile& file, const std::string& birdFile, uint32_t serialNumber, uint32_t build);
  // False when the module (or, with `routerDown`, its router) cannot be reached.
  bool connect(Tessoral::Kovalink::Module& target, const Route& route, bool& routerDown);
  aErr connectDirect(Tessoral::Kovalink::Module& target, const Route& route);
  aErr connectBehindRouter(Tessoral::Kovalink::Module& target, const Route& route);
  // Where the module was reached: the outcome's place and the line that names it.
  void placeAt(const linkSpec& spec);
  // The line that says where the module was reached, before anything is sent to it.
  void reportPlace();
  // Who answers on the link: the serial number and model code; false when it does not answer.
  bool readModule(Tessoral::Kovalink::Module& target, uint32_t& serialNumber, uint8_t& model);
  bool refuse(const std::string& reason);
  // Before the first frame: the module answers as the one named and (unless `override`) fits the file.
  bool checkModule(Tessoral::Kovalink::Module& target, const Route& route, BirdFile& file, bool override);
  std::string silentReason(uint8_t address, const Route& route) const;
  bool verifyReturn(Tessoral::Kovalink::Module& target, const Route& route, uint32_t expectedBuild,
                    uint32_t& runningBuild);
  bool reconnect(Tessoral::Kovalink::Module& target, const Route& route, linkType type, bool tryPlace);
  bool awaitReturn(Tessoral::Kovalink::Module& target, const Route& route, uint32_t& build, std::string& version);
  void reportNotConnected(const Route& route);
  bool reportUnreached(const Route& route, bool routerDown);
  void reportInterrupt(uint32_t serialNumber, bool loaderStarted);
  void record(UpdaterStoreItem& item, uint32_t serialNumber, const char* key, const std::string& value,
              const char* dateKey, const HistoryEvent& event);

  std::string serverUrl;
  std::string updaterDirectory;
  // Keeps the last error line: the text of the outcome's failure.
  ErrorRecordingDisplay display;
  // The router of an indirect update, routing to this host from the first
  // connection until this object ends (after the module, so the route outlives it).
  std::unique_ptr<RouterRoute> router;
  ModuleOutcome outcome_;
  // Why the last direct connection failed: not found tells the user where it was searched.
  aErr connectError_ = aErrNone;
  // The model the module answered with before the update; its return must answer the same.
  uint8_t model_ = 0;
  // The address the module was found at behind its router (the route's, or the scan's).
  uint8_t address_ = 0;
  std::string place_;
};
