#include "update/FirmwareUpdate.h"

#include <cstdlib>
#include <stdexcept>

#include "Interrupt.h"
#include "Log.h"
#include "Module.h"
#include "SystemClass.h"
#include "aDefs.h"
#include "aNumber.h"
#include "aTime.h"
#include "discovery/ModuleDiscovery.h"
#include "discovery/RouterRoute.h"
#include "image/BirdFile.h"
#include "image/BuildNumber.h"
#include "server/UpdateServerRequest.h"
#include "store/StoreLock.h"
#include "store/UpdaterStore.h"
#include "Environment.h"
#include "update/ErrorRecordingDisplay.h"
#include "update/UpdaterEntity.h"

using Tessoral::Kovalink::Module;
using Tessoral::Kovalink::SystemClass;

namespace {

constexpr int RECONNECT_TRIES = 15;
constexpr unsigned RECONNECT_DELAY_MS = 1000;
constexpr unsigned LOADER_SETTLE_MS = 500;
constexpr uint64_t DEFAULT_RETURN_TIMEOUT_MS = 60000;
constexpr unsigned RETURN_POLL_MS = 250;
const char* const RETURN_TIMEOUT_VARIABLE = "UPDATER_RETURN_TIMEOUT";
const char* const RETURN_LABEL = "Waiting for the module to come back";

std::string sBirdName(uint32_t build) { return std::to_string(build) + ".bird"; }

// The server's latest build; 0 for a line that is not a build number.
uint32_t sBuildFromText(const std::string& text) {
  uint32_t build = 0;
  if (!BuildNumber::FromServerLine(text, build)) {
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
    return 0;
  }
  return build;
}

bool sReadable(UpdaterStoreItem& item, uint32_t build) {
  if (!item.IsValid()) return false;
  try {
    BirdFile file = item.ReadBirdFile(sBirdName(build).c_str());
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

uint32_t sStoredBuild(UpdaterStoreItem& item, const char* key) {
  int value = item.settings.GetInt(key, 0);
  return value > 0 ? static_cast<uint32_t>(value) : 0;
}

// A link that meets noise resynchronises, and a request made meanwhile goes unanswered;
// so identity reads wait for a running link and are tried a few times.
constexpr int IDENTITY_READ_TRIES = 3;
constexpr unsigned LINK_SETTLE_MS = 1000;
constexpr int LINK_STATUS_RUNNING = 2;

template <typename T, typename Read>
bool sReadIdentity(Module& module, T& value, Read read) {
  for (int attempt = 0; attempt < IDENTITY_READ_TRIES; attempt++) {
    FirmwareUpdate::AwaitRunningLink(module);
    if (read(&value)) return true;
  }
  value = 0;
  return false;
}

aErr sConnectDirect(Module& module, uint32_t serialNumber) {
  aErr err = static_cast<aErr>(module.connect(linkTypeUSB, serialNumber));
  if (err == aErrNotFound) err = static_cast<aErr>(module.connect(linkTypeTCPIP, serialNumber));
  return err;
}

bool sKnownPlace(const FirmwareUpdate::Route& route) {
  return route.routerSerialNumber == 0 && route.spec.type != linkTypeInvalid;
}

// Up to `rounds` tries, 1 s apart, at the place discovery found the module.
bool sConnectRoundsAt(Module& module, const linkSpec& spec, int rounds) {
  for (int round = 0; round < rounds; round++) {
    if (round > 0) aTime_MSSleep(RECONNECT_DELAY_MS);
    if (module.connectFromSpec(spec) == aErrNone && module.isConnected()) return true;
    module.disconnect();
  }
  return false;
}

// After the loader starts the module may re-enumerate; it is looked for on every transport,
// since a module reached over TCP/IP never shows up on USB.
void sAwaitModule(Module& target, const FirmwareUpdate::Route& route) {
  // A loader that takes the link over drops it just after confirming LOAD; the host needs a
  // moment to notice, or the firmware would be sent into a link that is already gone.
  aDeadline settle = aDeadline_In(LOADER_SETTLE_MS);
  while (!aDeadline_Passed(settle) && target.isConnected()) aTime_MSSleep(50);
  if (target.isConnected()) return;
  target.disconnect();
  if (sKnownPlace(route)) {
    sConnectRoundsAt(target, route.spec, RECONNECT_TRIES);
    return;
  }
  FirmwareUpdate::ConnectRounds(target, {{linkTypeUSB, route.serialNumber}, {linkTypeTCPIP, route.serialNumber}},
                                RECONNECT_TRIES);
}

linkType sLinkType(Module& module) {
  linkSpec spec{};
  return module.getLinkSpecifier(&spec) == aErrNone ? spec.type : linkTypeInvalid;
}

std::string sVersionText(const DeviceInfo& info) {
  return std::to_string(info.major) + "." + std::to_string(info.minor) + "." + std::to_string(info.patch);
}

// Sends the blocks in order. The first block that fails ends the transfer: the
// module's update has failed, and later blocks would only be written into it.
template <typename Send>
aErr sTransferBlocks(UpdaterDisplayInterface& display, const char* kind, const std::vector<BirdBlock>& blocks,
                     Send send) {
  const unsigned count = static_cast<unsigned>(blocks.size());
  unsigned done = 0;
  uint32_t total = 0;
  aErr err = aErrNone;
  for (const BirdBlock& block : blocks) {
    if (Interrupt::Requested()) {
      err = aErrCancel;
      break;
    }
    display.message(UpdaterDisplayInterface::Info, "Transferring %s block %u of %u, %u bytes", kind, done + 1, count,
                    static_cast<unsigned>(block.length));
    err = send(block);
    if (err != aErrNone) break;
    total += block.length;
    done++;
  }
  display.message(UpdaterDisplayInterface::Info, "Transferred %u blocks, %u total bytes", done,
                  static_cast<unsigned>(total));
  if (err != aErrNone && err != aErrCancel)
    display.message(UpdaterDisplayInterface::Error, "Transfer of %s block %u of %u failed [%d, %s]", kind, done + 1,
                    count, err, aError_GetErrorText(err));
  return err;
}

}  // namespace

FirmwareUpdate::FirmwareUpdate(const std::string& serverUrl_, const std::string& updaterDirectory_,
                               UpdaterDisplayInterface& display_)
    : serverUrl(serverUrl_), updaterDirectory(updaterDirectory_), display(display_) {}

FirmwareUpdate::~FirmwareUpdate() = default;

bool FirmwareUpdate::ConnectRounds(Module& module, const std::vector<std::pair<linkType, uint32_t>>& targets,
                                   int rounds) {
  for (int round = 0; round < rounds; round++) {
    if (round > 0) aTime_MSSleep(RECONNECT_DELAY_MS);
    for (const auto& target : targets)
      if (module.discoverAndConnect(target.first, target.second) == aErrNone && module.isConnected()) return true;
  }
  return false;
}

void FirmwareUpdate::AwaitRunningLink(Module& module) {
  aDeadline settle = aDeadline_In(LINK_SETTLE_MS);
  while (!aDeadline_Passed(settle) && module.isConnected()) {
    if (module.getStatus() == LINK_STATUS_RUNNING) return;
    aTime_MSSleep(10);
  }
}

uint64_t FirmwareUpdate::ReturnTimeoutMs() {
  return uint64_t(Environment::Seconds(RETURN_TIMEOUT_VARIABLE, DEFAULT_RETURN_TIMEOUT_MS / 1000)) * 1000;
}

bool FirmwareUpdate::Run(uint32_t serialNumber, uint32_t build, std::string birdFile, uint8_t moduleAddress,
                         uint32_t routerSerialNumber, bool override) {
  Route route;
  route.serialNumber = serialNumber;
  route.routerSerialNumber = routerSerialNumber;
  route.moduleAddress = moduleAddress;
  return run(route, build, birdFile, override);
}

bool FirmwareUpdate::Run(const Route& route, uint32_t build, std::string birdFile, bool override,
                         ModuleOutcome& outcome) {
  ErrorRecordingDisplay recorder(display);
  FirmwareUpdate single(serverUrl, updaterDirectory, recorder);
  single.readsIdentity_ = true;
  const uint64_t start = aTime_GetMSTicks();
  const bool ok = single.run(route, build, birdFile, override);
  outcome = single.outcome_;
  outcome.serialNumber = route.serialNumber;
  outcome.succeeded = ok;
  outcome.seconds = static_cast<double>(aTime_GetMSTicks() - start) / 1000.0;
  if (!ok) {
    outcome.errorText = recorder.LastError();
    if (outcome.error == aErrNone) outcome.error = Interrupt::Requested() ? aErrCancel : aErrUnknown;
  }
  return ok;
}

void FirmwareUpdate::fail(aErr error) {
  if (outcome_.error == aErrNone) outcome_.error = error;
}

// What the module runs before the update, for the fleet's before -> after column.
void FirmwareUpdate::readIdentity(Module& target) {
  SystemClass system;
  system.init(&target, 0);
  uint8_t model = 0;
  if (sReadIdentity(target, model, [&](uint8_t* v) { return system.getModel(v) == aErrNone; }))
    outcome_.model = aDefs_GetModelName(model);
  outcome_.buildBefore = ModuleDiscovery::_get_build_number(target);
}

// The module's store entry, when it has one; false (said) when the store cannot be read.
bool FirmwareUpdate::findEntry(uint32_t serialNumber, UpdaterStoreItem& item) {
  try {
    UpdaterStore store(updaterDirectory.c_str());
    store.FindDevice(serialNumber, &item);
    return true;
  } catch (const std::exception& e) {
    display.message(UpdaterDisplayInterface::Error, "%s", e.what());
    fail(aErrIO);
    return false;
  }
}

bool FirmwareUpdate::run(const Route& route, uint32_t build, std::string birdFile, bool override) {
  const uint32_t serialNumber = route.serialNumber;
  if (serialNumber == 0) {
    display.message(UpdaterDisplayInterface::Error, "Update command must specify the specific device");
    fail(aErrParam);
    return false;
  }
  // One transfer into a module at a time, whichever process starts it.
  StoreLock updating = StoreLock::ForUpdate(updaterDirectory, serialNumber, display);
  if (!updating.Held()) return false;
  UpdaterStoreItem item;
  if (!findEntry(serialNumber, item)) return false;
  uint64_t start = aTime_GetMSTicks();
  if (birdFile.empty() && !chooseBuild(item, serialNumber, build)) {
    fail(aErrNotFound);
    return false;
  }
  BirdFile file;
  if (!prepareFile(file, birdFile, serialNumber, build)) {
    fail(aErrParse);
    return false;
  }
  if (birdFile.empty()) birdFile = sBirdName(build);
  if (route.routerSerialNumber != 0 && route.moduleAddress == 0) {
    display.message(UpdaterDisplayInterface::Error, "Module address required for indirect firmware update");
    fail(aErrParam);
    return false;
  }
  Module target(route.moduleAddress, 0);
  Outcome outcome = Outcome::Failed;
  bool routerDown = false;
  if (connect(target, route, routerDown)) {
    if (readsIdentity_) readIdentity(target);
    if (!override && !ValidateBirdFile(file, target, serialNumber)) {
      display.message(UpdaterDisplayInterface::Error, "Birdfile failed validation");
      fail(aErrParam);
      return false;
    }
    // The build the file names; a file without one leaves the chosen build to compare.
    outcome = update(target, route, file, item, birdFile, file.GetBuild() != 0 ? file.GetBuild() : build);
  } else if (routerDown) {
    display.message(UpdaterDisplayInterface::Error, "Failed to connect to link module [%08X]",
                    route.routerSerialNumber);
    fail(aErrConnection);
    return false;
  } else {
    reportNotConnected(serialNumber);
    fail(aErrNotFound);
  }
  if (outcome == Outcome::Interrupted) return false;
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  display.message(UpdaterDisplayInterface::Info, "Update time: %.4f sec",
                  static_cast<double>(aTime_GetMSTicks() - start) / 1000.0);
  return outcome == Outcome::Verified;
}

// Transfers, records the transfer, then waits for the module to come back and checks its build.
FirmwareUpdate::Outcome FirmwareUpdate::update(Module& target, const Route& route, BirdFile& file,
                                               UpdaterStoreItem& item, const std::string& birdFile,
                                               uint32_t expected) {
  bool loaderStarted = false;
  aErr err = transfer(target, file, route, loaderStarted);
  fail(err);
  if (err == aErrCancel) {
    reportInterrupt(route.serialNumber, loaderStarted);
    return Outcome::Interrupted;
  }
  if (err != aErrNone) return Outcome::Failed;
  record(item, route.serialNumber, UpdaterStoreItem::KEY_LATEST_TRANSFER, birdFile,
         UpdaterStoreItem::KEY_LAST_TRANSFER_DATE);
  uint32_t running = 0;
  if (!verifyReturn(target, route, expected, running)) {
    fail(Interrupt::Requested() ? aErrCancel : running != 0 ? aErrVersion : aErrTimeout);
    return Interrupt::Requested() ? Outcome::Interrupted : Outcome::Failed;
  }
  record(item, route.serialNumber, UpdaterStoreItem::KEY_LATEST_VERIFIED, std::to_string(running),
         UpdaterStoreItem::KEY_LAST_VERIFIED_DATE);
  return Outcome::Verified;
}

bool FirmwareUpdate::chooseBuild(UpdaterStoreItem& item, uint32_t serialNumber, uint32_t& build) {
  if (build == 0) {
    std::string text, firmware;
    UpdateServerRequest::QueryBuild(serialNumber, text, firmware, serverUrl.c_str());
    build = sBuildFromText(text);
    if (build != 0 && !sReadable(item, build)) {
      build = 0;
      display.message(UpdaterDisplayInterface::Info,
                      "New firmware is available.  Updater will proceed if valid firmware is found locally.");
    }
  }
  if (build == 0) {
    build = sStoredBuild(item, UpdaterStoreItem::KEY_LATEST_DOWNLOAD);
    if (build != 0) display.message(UpdaterDisplayInterface::Info, "Updating with the Latest Download");
  }
  if (build == 0) {
    build = sStoredBuild(item, UpdaterStoreItem::KEY_LATEST_TRANSFER);
    if (build != 0) display.message(UpdaterDisplayInterface::Info, "Updating with the Latest Transfer");
  }
  if (build == 0) display.message(UpdaterDisplayInterface::Error, "Could not find valid build for this device.");
  return build != 0;
}

// Loads the file and writes the module's serial number into it.
bool FirmwareUpdate::prepareFile(BirdFile& file, const std::string& birdFile, uint32_t serialNumber,
                                 uint32_t build) {
  try {
    file = LoadBird("Updating", birdFile, serialNumber, build, nullptr);
  } catch (const std::exception& e) {
    // The loader's text names the file and the reason, or the command that fetches a missing build.
    display.message(UpdaterDisplayInterface::Error, "%s", e.what());
    return false;
  }
  // Without firmware bytes the update would reboot the module having written nothing.
  if (file.FirmwareBytes() == 0) {
    display.message(UpdaterDisplayInterface::Error, "Bird file holds no firmware");
    return false;
  }
  if (!file.hasSerialNumberOffsets) return true;
  Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
  if (!file.ReplaceSerialNumber(serialNumber)) {
    Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
    display.message(UpdaterDisplayInterface::Error, "Unable to modify serial number in bird file");
    return false;
  }
  Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
  return true;
}

bool FirmwareUpdate::connect(Module& target, const Route& route, bool& routerDown) {
  routerDown = false;
  if (sKnownPlace(route)) return target.connectFromSpec(route.spec) == aErrNone;
  if (route.routerSerialNumber == 0) {
    connectError_ = sConnectDirect(target, route.serialNumber);
    return connectError_ == aErrNone;
  }
  // A router forwards to its network only while it routes to this host: the route
  // stays open across the reboot, for the module's return.
  if (!router) {
    router.reset(new RouterRoute());
    if (router->Open(route.routerSerialNumber) != aErrNone) {
      router.reset();
      routerDown = true;
      return false;
    }
  }
  return router->Connect(target) == aErrNone;
}

aErr FirmwareUpdate::transfer(Module& target, BirdFile& file, const Route& route, bool& loaderStarted) {
  const uint32_t serialNumber = route.serialNumber;
  AwaitRunningLink(target);
  // A stop asked for while connecting leaves the module untouched.
  if (Interrupt::Requested()) return aErrCancel;
  aErr err = TransferLoader(target, file);
  // LOAD was sent (a loader whose start went unconfirmed counts as started).
  loaderStarted = err == aErrNone;
  if (err == aErrNone) sAwaitModule(target, route);
  if (err == aErrNone && Interrupt::Requested()) err = aErrCancel;
  if (err == aErrNone) err = TransferFirmware(target, file);
  if (err != aErrNone && err != aErrCancel) {
    // The protocol's own lines go to the debug log only; the user needs one clear line.
    display.message(UpdaterDisplayInterface::Error, "Firmware update of module [%08X] failed [%d, %s]",
                    serialNumber, err, aError_GetErrorText(err));
  }
  return err;
}

// A module searched for and absent gets told where it was looked for; one that was
// found but would not open keeps the short line.
void FirmwareUpdate::reportNotConnected(uint32_t serialNumber) {
  if (connectError_ == aErrNotFound)
    display.message(UpdaterDisplayInterface::Error,
                    "Failed to connect to module [%08X]: not found over USB or TCP/IP; check it with -D "
                    "(-t TCPIP searches the network)",
                    serialNumber);
  else
    display.message(UpdaterDisplayInterface::Error, "Failed to connect to module [%08X]", serialNumber);
}

void FirmwareUpdate::reportInterrupt(uint32_t serialNumber, bool loaderStarted) {
  if (loaderStarted)
    display.message(UpdaterDisplayInterface::Error,
                    "Update of module [%08X] interrupted: it may wait in its loader without complete firmware. "
                    "Run the same -U command again to finish the update.",
                    serialNumber);
  else
    display.message(UpdaterDisplayInterface::Error,
                    "Update of module [%08X] interrupted before its firmware was written: it keeps its old "
                    "firmware. Run the same -U command again to update it.",
                    serialNumber);
}

bool FirmwareUpdate::VerifyReturn(Module& module, uint32_t serialNumber, uint32_t expectedBuild) {
  Route route;
  route.serialNumber = serialNumber;
  uint32_t running = 0;
  return verifyReturn(module, route, expectedBuild, running);
}

// After the reboot the module must come back and run the build that was sent.
bool FirmwareUpdate::verifyReturn(Module& target, const Route& route, uint32_t expectedBuild,
                                  uint32_t& runningBuild) {
  std::string version;
  if (!awaitReturn(target, route, runningBuild, version)) {
    if (Interrupt::Requested()) {
      display.message(UpdaterDisplayInterface::Error,
                      "Interrupted while module [%08X] was rebooting into its new firmware. "
                      "Run -D to see which build it runs.",
                      route.serialNumber);
      return false;
    }
    display.message(UpdaterDisplayInterface::Error,
                    "Module [%08X] did not come back within %u s of its reboot. Check its power and "
                    "connection and look for it with -D; if it stays away, recover it with -U -t RECOVER.",
                    route.serialNumber, static_cast<unsigned>(ReturnTimeoutMs() / 1000));
    return false;
  }
  outcome_.buildAfter = runningBuild;
  outcome_.versionAfter = version;
  if (expectedBuild != 0 && runningBuild != expectedBuild) {
    display.message(UpdaterDisplayInterface::Error,
                    "Module [%08X] came back running build %u, not the transferred build %u",
                    route.serialNumber, runningBuild, expectedBuild);
    return false;
  }
  display.message(UpdaterDisplayInterface::Info, "Module %08X now runs %s (build %u)", route.serialNumber,
                  version.c_str(), runningBuild);
  return true;
}

// A fresh link on `type`; through the router, or on any transport when `type` is unknown.
bool FirmwareUpdate::reconnect(Module& target, const Route& route, linkType type) {
  target.disconnect();
  bool routerDown = false;
  if (sKnownPlace(route)) return target.connectFromSpec(route.spec) == aErrNone && target.isConnected();
  if (route.routerSerialNumber != 0 || type == linkTypeInvalid) return connect(target, route, routerDown);
  return target.discoverAndConnect(type, route.serialNumber) == aErrNone && target.isConnected();
}

// Reconnects on the transport the update went over until the module answers with its build.
bool FirmwareUpdate::awaitReturn(Module& target, const Route& route, uint32_t& build, std::string& version) {
  const linkType type = sLinkType(target);
  aDeadline deadline = aDeadline_In(ReturnTimeoutMs());
  bool back = false;
  do {
    display.update_spinner(true, RETURN_LABEL);
    DeviceInfo info;
    if (reconnect(target, route, type) && sReadIdentity(target, build, [&](uint32_t* v) {
          *v = ModuleDiscovery::_get_build_number(target);
          return *v != 0 && ModuleDiscovery::_get_version(target, info) == aErrNone;
        })) {
      version = sVersionText(info);
      back = true;
      break;
    }
    aDeadline pause = aDeadline_In(RETURN_POLL_MS);
    while (!aDeadline_Passed(pause) && !Interrupt::Requested()) aTime_MSSleep(50);
  } while (!aDeadline_Passed(deadline) && !Interrupt::Requested());
  display.update_spinner(false, RETURN_LABEL);
  return back;
}

void FirmwareUpdate::record(UpdaterStoreItem& item, uint32_t serialNumber, const char* key,
                            const std::string& value, const char* dateKey) {
  try {
    // A module updated from a file may have no entry yet; it gets one, as a download gives it,
    // rather than a stray ".settings" in the current directory.
    if (!item.IsValid()) {
      UpdaterStore store(updaterDirectory.c_str());
      item = store.AddDevice(serialNumber);
    }
    item.settings.Add(key, value);
    item.settings.Add(dateKey, KeyValueStore::Timestamp());
    if (!item.SaveSettings(&display))
      display.message(UpdaterDisplayInterface::Error, "Could not record the update in %s", item.Path().c_str());
  } catch (const std::exception& e) {
    display.message(UpdaterDisplayInterface::Error, "Could not record the update: %s", e.what());
  }
}

BirdFile FirmwareUpdate::LoadBird(const char* action, const std::string& birdFile, uint32_t serialNumber,
                                  uint32_t build, const Downloader& download) {
  UpdaterStore store(updaterDirectory.c_str());
  if (!birdFile.empty()) {
    display.message(UpdaterDisplayInterface::Info, "%s from Birdfile: %s", action, birdFile.c_str());
    return BirdFile(birdFile.c_str());
  }
  UpdaterStoreItem item = store.AddDevice(serialNumber);
  display.message(UpdaterDisplayInterface::Info, "%s firmware with build: %u", action, build);
  const std::string name = sBirdName(build);
  try {
    return item.ReadBirdFile(name.c_str());
  } catch (const std::exception&) {
    if (!download) throw;
  }
  display.message(UpdaterDisplayInterface::Info, "Downloading firmware build %u", build);
  download(serialNumber, build);
  return item.ReadBirdFile(name.c_str());
}

bool FirmwareUpdate::ValidateBirdFile(BirdFile& file, Module& module, uint32_t serialNumber) {
  if (file.blockCount == 0) return false;
  if (!file.hasSerialNumberOffsets && !file.ValidateSerialNumber(serialNumber)) return false;
  Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
  SystemClass system;
  system.init(&module, 0);
  uint32_t moduleSerial = 0;
  sReadIdentity(module, moduleSerial, [&](uint32_t* v) { return system.getSerialNumber(v) == aErrNone; });
  if (moduleSerial != serialNumber) {
    Log::log(DEBUG_Updater, "Bird serial number and connected device don't match.\n");
    return false;
  }
  uint8_t model = 0;
  sReadIdentity(module, model, [&](uint8_t* v) { return system.getModel(v) == aErrNone; });
  const char* modelName = aDefs_GetModelName(model);
  if (!file.ValidateModel(modelName)) {
    display.message(UpdaterDisplayInterface::Error, "Connected device model and Bird file model do not match [%s]",
                    modelName);
    return false;
  }
  return true;
}

aErr FirmwareUpdate::TransferLoader(Module& module, BirdFile& file) {
  UpdaterEntity entity;
  entity.init(&module, 0, true);
  aErr err = entity.LoaderInit();
  if (err != aErrNone) {
    Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", err, aError_GetErrorText(err));
    return err;
  }
  display.message(UpdaterDisplayInterface::Info, "Transferring loader to device");
  display.display_progress(true);
  err = sTransferBlocks(display, "loader", file.FindBlocks(BirdFile::BLOCK_LOADER), [&](const BirdBlock& block) {
    uint16_t blockSize = 0;
    aErr result = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
    // A loader block whose PREPARE goes unanswered is still sent: the data's sum decides.
    if (result != aErrNone && result != aErrTimeout) {
      Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", result, aError_GetErrorText(result));
      return result;
    }
    result = entity.LoaderTransfer(block.data, block.length);
    if (result != aErrNone)
      Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", result, aError_GetErrorText(result));
    return result;
  });
  display.display_progress(false);
  if (err != aErrNone) return err;

  display.message(UpdaterDisplayInterface::Info, "Starting Load on Device");
  err = entity.LoaderStart();
  if (err == aErrTimeout) {
    Log::log(DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
    return aErrNone;
  }
  if (err != aErrNone)
    display.message(UpdaterDisplayInterface::Error, "Error starting loader [%d, %s]", err, aError_GetErrorText(err));
  return err;
}

aErr FirmwareUpdate::TransferFirmware(Module& module, BirdFile& file) {
  UpdaterEntity entity;
  entity.init(&module, 0, true);
  Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", file.filename.c_str());
  // A failed block leaves a partly written image: the module must not be rebooted into it.
  aErr err =
      sTransferBlocks(display, "firmware", file.FindBlocks(BirdFile::BLOCK_FIRMWARE), [&](const BirdBlock& block) {
        uint16_t blockSize = 0;
        aErr result = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
        if (result != aErrNone) {
          Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", result, aError_GetErrorText(result));
          return result;
        }
        result = entity.FirmwareTransfer(block.data, block.length, blockSize, display);
        if (result != aErrNone && result != aErrCancel)
          Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", result, aError_GetErrorText(result));
        return result;
      });
  if (err != aErrNone) return err;
  return entity.LoaderReboot(display);
}
