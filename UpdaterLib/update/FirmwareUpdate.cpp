#include "update/FirmwareUpdate.h"

#include <cstdlib>
#include <optional>
#include <stdexcept>

#include "Interrupt.h"
#include "Log.h"
#include "Module.h"
#include "ResultLines.h"
#include "UserNotice.h"
#include "SystemClass.h"
#include "aAccess.h"
#include "aDefs.h"
#include "aDiscovery.h"
#include "aLink.h"
#include "aNumber.h"
#include "aTime.h"
#include "discovery/ModuleDiscovery.h"
#include "discovery/RouterRoute.h"
#include "image/BirdFile.h"
#include "image/BuildNumber.h"
#include "image/ImageTrust.h"
#include "server/UpdateServerRequest.h"
#include "store/StoreLock.h"
#include "store/UpdaterStore.h"
#include "Environment.h"
#include "update/BirdCheck.h"
#include "update/BuildChoice.h"
#include "update/ErrorRecordingDisplay.h"
#include "update/ModuleLock.h"
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

// A link that meets noise resynchronises, and a request made meanwhile goes unanswered;
// so identity reads wait for a running link and are tried a few times.
constexpr int IDENTITY_READ_TRIES = 3;
constexpr unsigned LINK_SETTLE_MS = 1000;

template <typename T, typename Read>
bool sReadIdentity(Module& module, T& value, Read read) {
  for (int attempt = 0; attempt < IDENTITY_READ_TRIES; attempt++) {
    FirmwareUpdate::AwaitRunningLink(module);
    if (read(&value)) return true;
  }
  value = 0;
  return false;
}

std::string sHex(uint32_t value, int digits) {
  char text[12];
  snprintf(text, sizeof(text), "%0*X", digits, value);
  return text;
}

std::vector<linkType> sTransports(linkType given) {
  if (given != linkTypeInvalid) return {given};
  return {linkTypeUSB, linkTypeTCPIP};
}

// "Module 0000BEEF on USB (bus 1, device 7)" or "Module 0000BEEF at 10.77.145.5:9000".
std::string sDirectPlace(uint32_t serialNumber, const ModulePlace& place) {
  char text[96];
  if (place.transport == linkTypeUSB) {
    if (place.usbBus != 0 || place.usbDevice != 0)
      snprintf(text, sizeof(text), "Module %08X on USB (bus %u, device %u)", serialNumber, place.usbBus,
               place.usbDevice);
    else
      snprintf(text, sizeof(text), "Module %08X on USB", serialNumber);
    return text;
  }
  const uint8_t* ip = reinterpret_cast<const uint8_t*>(&place.address);
  snprintf(text, sizeof(text), "Module %08X at %u.%u.%u.%u:%u", serialNumber, ip[0], ip[1], ip[2], ip[3],
           static_cast<unsigned>(place.port));
  return text;
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

// Sends the blocks in order. The first block that fails ends the transfer: the
// module's update has failed, and later blocks would only be written into it.
// `partial`, when given, holds after a failed block the bytes of it that went in.
template <typename Send>
aErr sTransferBlocks(UpdaterDisplayInterface& display, const char* kind, const std::vector<BirdBlock>& blocks,
                     Send send, uint64_t& sent, const uint32_t* partial = nullptr) {
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
  sent += total;
  if (err != aErrNone && done < count && partial != nullptr) sent += *partial;
  // A stop inside a block says how far into it the module got.
  if (err != aErrNone && done < count && partial != nullptr && *partial != 0)
    display.message(UpdaterDisplayInterface::Info,
                    "Transferred %u blocks and %u of the %u bytes of block %u, %u total bytes", done,
                    static_cast<unsigned>(*partial), static_cast<unsigned>(blocks[done].length), done + 1,
                    static_cast<unsigned>(total + *partial));
  else
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
    if (module.getStatus() == aLinkStatusRunning) return;
    aTime_MSSleep(10);
  }
}

uint64_t FirmwareUpdate::ReturnTimeoutMs() {
  return uint64_t(Environment::Seconds(RETURN_TIMEOUT_VARIABLE, DEFAULT_RETURN_TIMEOUT_MS / 1000)) * 1000;
}

ModulePlace FirmwareUpdate::PlaceOf(const linkSpec& spec) {
  ModulePlace place;
  place.transport = spec.type;
  if (spec.type == linkTypeUSB)
    aDiscovery_USBPlace(spec.serialNumber, &place.usbBus, &place.usbDevice);
  if (spec.type == linkTypeTCPIP) {
    place.address = spec.address;
    place.port = spec.port;
  }
  return place;
}

ModuleOutcome FirmwareUpdate::Run(const Route& route, uint32_t build, std::string birdFile, bool override) {
  outcome_ = ModuleOutcome();
  outcome_.serialNumber = route.serialNumber;
  display.Forget();
  // The link core's own lines (a USB device it may not open) can be why a single update
  // failed; a fleet's modules share one console, which routes those lines itself.
  std::optional<UserNotice::Route> notices;
  if (!oneOfSeveral) notices.emplace(&display);
  const uint64_t start = aTime_GetMSTicks();
  if (route.serialNumber == 0) {
    display.message(UpdaterDisplayInterface::Error, "Update command must specify the specific device");
    fail(aErrParam);
    return finish(false, start);
  }
  Log::ModuleScope logScope(route.serialNumber);  // -k's lines name the module
  // One transfer into a module at a time, whichever user, store and process starts it.
  ModuleLock module(route.serialNumber, display);
  if (!module.Held()) {
    fail(aErrBusy);
    return finish(false, start);
  }
  StoreLock updating = StoreLock::ForUpdate(updaterDirectory, route.serialNumber, display);
  UpdaterStoreItem item;
  if (!updating.Held() || !findEntry(route.serialNumber, item)) return finish(false, start);
  const uint64_t timed = aTime_GetMSTicks();
  BirdFile file;
  if (!prepare(item, file, birdFile, route.serialNumber, build)) return finish(false, start);
  Module target(route.moduleAddress, 0);
  const Reach reach = this->reach(target, route, file, override);
  Outcome outcome = Outcome::Failed;
  if (reach == Reach::Reached) {
    AwaitRunningLink(target);
    // A stop asked for while connecting leaves the module untouched.
    aErr err = Interrupt::Requested() ? aErrCancel : TransferLoader(target, file);
    if (err == aErrNone) err = continueTransfer(target, file, route);
    // The build the file names; a file without one leaves the chosen build to compare.
    outcome = conclude(target, route, item, birdFile, file.GetBuild() != 0 ? file.GetBuild() : build, err);
  }
  if (reach == Reach::Ended || outcome == Outcome::Interrupted) return finish(false, start);
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  display.message(UpdaterDisplayInterface::Info, "Update time: %.4f sec",
                  static_cast<double>(aTime_GetMSTicks() - timed) / 1000.0);
  return finish(outcome == Outcome::Verified, start);
}

ModuleOutcome FirmwareUpdate::finish(bool verified, uint64_t start) {
  outcome_.succeeded = verified;
  outcome_.seconds = static_cast<double>(aTime_GetMSTicks() - start) / 1000.0;
  if (!verified) {
    outcome_.errorText = display.LastError();
    if (outcome_.error == aErrNone) outcome_.error = Interrupt::Requested() ? aErrCancel : aErrUnknown;
  }
  return outcome_;
}

void FirmwareUpdate::fail(aErr error) {
  if (outcome_.error == aErrNone) outcome_.error = error;
}

// What the module runs before the update, for the result's before -> after.
void FirmwareUpdate::readIdentity(Module& target) {
  outcome_.model = aDefs_GetModelName(model_);
  // Asked once: a module waiting in its loader may not know its build, and is updated all the same.
  outcome_.buildBefore = ModuleDiscovery::_get_build_number(target);
  DeviceInfo info;
  if (outcome_.buildBefore != 0 && ModuleDiscovery::_get_version(target, info) == aErrNone)
    outcome_.versionBefore = info.VersionText();
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

// The build chosen (unless a file is given), its file loaded and checked, the module's serial number in it.
bool FirmwareUpdate::prepare(UpdaterStoreItem& item, BirdFile& file, std::string& birdFile, uint32_t serialNumber,
                             uint32_t& build) {
  if (birdFile.empty() && !chooseBuild(item, serialNumber, build)) {
    fail(aErrNotFound);
    return false;
  }
  if (!prepareFile(file, birdFile, serialNumber, build)) {
    fail(aErrParse);
    return false;
  }
  // Recorded so that it names the file from any folder.
  birdFile = birdFile.empty() ? sBirdName(build) : ModuleHistory::AbsolutePath(birdFile);
  return true;
}

// Connects and checks the module before anything is sent to it.
FirmwareUpdate::Reach FirmwareUpdate::reach(Module& target, const Route& route, BirdFile& file, bool override) {
  bool routerDown = false;
  if (!connect(target, route, routerDown)) return reportUnreached(route, routerDown) ? Reach::Ended : Reach::Unreached;
  // Whatever -OVERRIDE says, nothing is sent to a module other than the one named.
  if (!checkModule(target, route, file, override)) {
    fail(aErrParam);
    return Reach::Ended;
  }
  readIdentity(target);
  return Reach::Reached;
}

// Says why the module could not be reached; true when the run ends there, without its time.
bool FirmwareUpdate::reportUnreached(const Route& route, bool routerDown) {
  if (routerDown) {
    display.message(UpdaterDisplayInterface::Error, "Failed to connect to link module [%08X]",
                    route.routerSerialNumber);
    fail(aErrConnection);
    return true;
  }
  if (connectError_ == aErrPermission) {
    // The permission line said why and ends a single update; another transport could hold a
    // namesake. In a fleet that line is shown once for all, so each module's row says it.
    if (oneOfSeveral)
      display.message(UpdaterDisplayInterface::Error,
                      "Failed to connect to module [%08X]: a USB device could not be opened (permission "
                      "denied); it was not looked for elsewhere",
                      route.serialNumber);
    fail(aErrPermission);
    return true;
  }
  reportNotConnected(route);
  fail(aErrNotFound);
  return false;
}

// Says how the transfer ended; after a good one records it, then waits for the module to
// come back and checks its build.
FirmwareUpdate::Outcome FirmwareUpdate::conclude(Module& target, const Route& route, UpdaterStoreItem& item,
                                                 const std::string& birdFile, uint32_t expected, aErr err) {
  if (err != aErrNone && err != aErrCancel) {
    // The protocol's own lines go to the debug log only; the user needs one clear line.
    display.message(UpdaterDisplayInterface::Error, "Firmware update of module [%08X] failed [%d, %s]",
                    route.serialNumber, err, aError_GetErrorText(err));
  }
  fail(err);
  if (err == aErrCancel) {
    reportInterrupt(route.serialNumber, outcome_.state == ModuleState::InLoader);
    return Outcome::Interrupted;
  }
  if (err != aErrNone) return Outcome::Failed;
  record(item, route.serialNumber, UpdaterStoreItem::KEY_LATEST_TRANSFER, birdFile,
         UpdaterStoreItem::KEY_LAST_TRANSFER_DATE, HistoryEvent::Transfer(expected, birdFile));
  uint32_t running = 0;
  if (!verifyReturn(target, route, expected, running)) {
    outcome_.state = running != 0 ? ModuleState::OtherBuild : ModuleState::NotBack;
    fail(Interrupt::Requested() ? aErrCancel : running != 0 ? aErrVersion : aErrTimeout);
    return Interrupt::Requested() ? Outcome::Interrupted : Outcome::Failed;
  }
  outcome_.state = ModuleState::Updated;
  record(item, route.serialNumber, UpdaterStoreItem::KEY_LATEST_VERIFIED, std::to_string(running),
         UpdaterStoreItem::KEY_LAST_VERIFIED_DATE, HistoryEvent::Verified(running));
  return Outcome::Verified;
}

bool FirmwareUpdate::chooseBuild(UpdaterStoreItem& item, uint32_t serialNumber, uint32_t& build) {
  build = BuildChoice::Choose(serverUrl, item, serialNumber, build, display);
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
  // Refused before any module is looked for.
  const std::string reason = BirdCheck::FileReason(file, serialNumber);
  if (!reason.empty()) return refuse(reason);
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
  if (sKnownPlace(route)) {
    placeAt(route.spec);
    return target.connectFromSpec(route.spec) == aErrNone;
  }
  if (route.routerSerialNumber == 0) {
    connectError_ = connectDirect(target, route);
    return connectError_ == aErrNone;
  }
  // A router forwards to its network only while it routes to this host: the route
  // stays open across the reboot, for the module's return.
  if (!router) {
    router.reset(new RouterRoute());
    if (router->Open(route.routerSerialNumber, route.transport) != aErrNone) {
      router.reset();
      routerDown = true;
      return false;
    }
  }
  connectError_ = connectBehindRouter(target, route);
  return connectError_ == aErrNone;
}

// On the transport given, else on USB and then on TCP/IP. A USB device that may not be
// opened could be the module: the search ends there rather than reach a namesake elsewhere.
aErr FirmwareUpdate::connectDirect(Module& target, const Route& route) {
  for (linkType type : sTransports(route.transport)) {
    const unsigned denied = aAccess_DeniedCount();
    linkSpec* found = aDiscovery_FindModule(type, route.serialNumber);
    if (found) {
      const linkSpec spec = *found;
      aLinkSpec_Destroy(&found);
      placeAt(spec);
      return target.connectFromSpec(spec);
    }
    if (aAccess_DeniedCount() != denied) return aErrPermission;
  }
  return aErrNotFound;
}

// At the address given, else where the router's network answers with the serial number.
aErr FirmwareUpdate::connectBehindRouter(Module& target, const Route& route) {
  if (address_ == 0) address_ = route.moduleAddress;
  if (address_ == 0) {
    address_ = router->FindAddress(route.serialNumber);
    if (address_ == 0) return aErrNotFound;
  }
  target.setModuleAddress(address_);
  outcome_.place = ModulePlace();
  outcome_.place.routerSerialNumber = route.routerSerialNumber;
  outcome_.place.moduleAddress = address_;
  place_ = "Module " + sHex(route.serialNumber, 8) + " behind router " + sHex(route.routerSerialNumber, 8) +
           " at address " + sHex(address_, 2);
  const aErr err = router->Connect(target);
  // Reached on the router's link: its transport.
  if (err == aErrNone) outcome_.place.transport = sLinkType(target);
  return err;
}

void FirmwareUpdate::placeAt(const linkSpec& spec) {
  outcome_.place = PlaceOf(spec);
  place_ = sDirectPlace(spec.serialNumber, outcome_.place);
}

void FirmwareUpdate::reportPlace() {
  if (!place_.empty()) display.message(UpdaterDisplayInterface::Info, "%s", place_.c_str());
}

bool FirmwareUpdate::readModule(Module& target, uint32_t& serialNumber, uint8_t& model) {
  SystemClass system;
  system.init(&target, 0);
  if (!sReadIdentity(target, serialNumber, [&](uint32_t* v) { return system.getSerialNumber(v) == aErrNone; }))
    return false;
  return sReadIdentity(target, model, [&](uint8_t* v) { return system.getModel(v) == aErrNone; });
}

bool FirmwareUpdate::refuse(const std::string& reason) {
  display.message(UpdaterDisplayInterface::Error, "%s: %s", BirdCheck::kRefusal, reason.c_str());
  return false;
}

std::string FirmwareUpdate::silentReason(uint8_t address, const Route& route) const {
  if (route.routerSerialNumber != 0)
    return "module " + sHex(address, 2) + " does not answer behind router " +
           sHex(route.routerSerialNumber, 8);
  return "module " + sHex(route.serialNumber, 8) + " does not answer";
}

bool FirmwareUpdate::checkModule(Module& target, const Route& route, BirdFile& file, bool override) {
  AwaitRunningLink(target);
  uint32_t answered = 0;
  if (!readModule(target, answered, model_)) return refuse(silentReason(target.getModuleAddress(), route));
  if (answered != route.serialNumber) {
    if (route.routerSerialNumber != 0)
      return refuse("address " + sHex(target.getModuleAddress(), 2) + " behind router " +
                    sHex(route.routerSerialNumber, 8) + " holds module " + sHex(answered, 8) + ", not " +
                    sHex(route.serialNumber, 8));
    return refuse("the module that answers is " + sHex(answered, 8) + ", not " + sHex(route.serialNumber, 8));
  }
  // Named once the module is known to be the one named, before anything is sent to it.
  reportPlace();
  if (override) return true;
  const std::string reason = BirdCheck::ModelReason(file, aDefs_GetModelName(model_));
  return reason.empty() || refuse(reason);
}

// After LOAD (a loader whose start went unconfirmed counts as started): the firmware, once
// the module is back on its link.
aErr FirmwareUpdate::continueTransfer(Module& target, BirdFile& file, const Route& route) {
  outcome_.state = ModuleState::InLoader;
  sAwaitModule(target, route);
  if (Interrupt::Requested()) return aErrCancel;
  aErr err = TransferFirmware(target, file);
  // Rebooted into the new firmware; it is the module's return that says it took.
  if (err == aErrNone) outcome_.state = ModuleState::NotBack;
  return err;
}

// A module searched for and absent gets told where it was looked for; one that was
// found but would not open keeps the short line.
void FirmwareUpdate::reportNotConnected(const Route& route) {
  const uint32_t serialNumber = route.serialNumber;
  if (connectError_ != aErrNotFound) {
    display.message(UpdaterDisplayInterface::Error, "Failed to connect to module [%08X]", serialNumber);
  } else if (route.routerSerialNumber != 0) {
    display.message(UpdaterDisplayInterface::Error,
                    "Failed to connect to module [%08X]: not found behind router %08X; check it with -D -r %08X",
                    serialNumber, route.routerSerialNumber, route.routerSerialNumber);
  } else if (route.transport == linkTypeUSB) {
    display.message(UpdaterDisplayInterface::Error,
                    "Failed to connect to module [%08X]: not found over USB; check it with -D -t USB", serialNumber);
  } else if (route.transport == linkTypeTCPIP) {
    display.message(UpdaterDisplayInterface::Error,
                    "Failed to connect to module [%08X]: not found over TCP/IP; check it with -D -t TCPIP",
                    serialNumber);
  } else {
    display.message(UpdaterDisplayInterface::Error,
                    "Failed to connect to module [%08X]: not found over USB or TCP/IP; check it with -D "
                    "(-t TCPIP searches the network)",
                    serialNumber);
  }
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
  // What -q keeps of a single update; a fleet's table is its result.
  std::optional<ResultLines> result;
  if (!oneOfSeveral) result.emplace();
  display.message(UpdaterDisplayInterface::Info, "Module %08X now runs %s (build %u)", route.serialNumber,
                  version.c_str(), runningBuild);
  return true;
}

// A fresh link on `type`; through the router, or on any transport when `type` is unknown.
// A module whose place is known is tried there first, then looked for by serial number:
// after a reboot it may answer at another port (a new lease).
bool FirmwareUpdate::reconnect(Module& target, const Route& route, linkType type, bool tryPlace) {
  target.disconnect();
  bool routerDown = false;
  if (sKnownPlace(route)) {
    if (tryPlace && target.connectFromSpec(route.spec) == aErrNone && target.isConnected()) return true;
    target.disconnect();
    type = route.spec.type;
  }
  if (route.routerSerialNumber != 0 || type == linkTypeInvalid) return connect(target, route, routerDown);
  return target.discoverAndConnect(type, route.serialNumber) == aErrNone && target.isConnected();
}

// Reconnects until the module answers with its own serial number and model, then reads
// its build: whatever else answers where it was is not taken for it.
bool FirmwareUpdate::awaitReturn(Module& target, const Route& route, uint32_t& build, std::string& version) {
  const linkType type = sLinkType(target);
  aDeadline deadline = aDeadline_In(ReturnTimeoutMs());
  bool back = false, placeTaken = false;
  do {
    display.update_spinner(true, RETURN_LABEL);
    DeviceInfo info;
    uint32_t serial = 0;
    uint8_t model = 0;
    if (reconnect(target, route, type, !placeTaken) && readModule(target, serial, model)) {
      if (serial != route.serialNumber || (model_ != 0 && model != model_)) {
        Log::log(DEBUG_Updater, "Module [%08X]: %08X (model %u) answers in its place\n", route.serialNumber, serial,
                 model);
        placeTaken = true;
      } else if (sReadIdentity(target, build, [&](uint32_t* v) {
                   *v = ModuleDiscovery::_get_build_number(target);
                   return *v != 0 && ModuleDiscovery::_get_version(target, info) == aErrNone;
                 })) {
        version = info.VersionText();
        back = true;
        break;
      }
    }
    aDeadline pause = aDeadline_In(RETURN_POLL_MS);
    while (!aDeadline_Passed(pause) && !Interrupt::Requested()) aTime_MSSleep(50);
  } while (!aDeadline_Passed(deadline) && !Interrupt::Requested());
  display.update_spinner(false, RETURN_LABEL);
  return back;
}

void FirmwareUpdate::record(UpdaterStoreItem& item, uint32_t serialNumber, const char* key,
                            const std::string& value, const char* dateKey, const HistoryEvent& event) {
  try {
    // A module updated from a file may have no entry yet; it gets one, as a download gives it,
    // rather than a stray ".settings" in the current directory.
    if (!item.IsValid()) {
      UpdaterStore store(updaterDirectory.c_str());
      item = store.AddDevice(serialNumber);
    }
    item.settings.Add(key, value);
    item.settings.Add(dateKey, KeyValueStore::Timestamp());
    item.AddEvent(event);
    if (!item.SaveSettings(&display))
      display.message(UpdaterDisplayInterface::Error, "Could not record the update in %s", item.Path().c_str());
  } catch (const std::exception& e) {
    display.message(UpdaterDisplayInterface::Error, "Could not record the update: %s", e.what());
  }
}

// Refuses, before anything reaches a module, an image that no trusted key signed.
static BirdFile sTrusted(BirdFile file, const std::string& updaterDirectory) {
  ImageTrust::Require(file, updaterDirectory);
  return file;
}

BirdFile FirmwareUpdate::LoadBird(const char* action, const std::string& birdFile, uint32_t serialNumber,
                                  uint32_t build, const Downloader& download) {
  UpdaterStore store(updaterDirectory.c_str());
  if (!birdFile.empty()) {
    display.message(UpdaterDisplayInterface::Info, "%s from Birdfile: %s", action, birdFile.c_str());
    return sTrusted(BirdFile(birdFile.c_str()), updaterDirectory);
  }
  UpdaterStoreItem item = store.AddDevice(serialNumber);
  display.message(UpdaterDisplayInterface::Info, "%s firmware with build: %u", action, build);
  const std::string name = sBirdName(build);
  try {
    return sTrusted(item.ReadBirdFile(name.c_str()), updaterDirectory);
  } catch (const UntrustedImage&) {
    throw;
  } catch (const std::exception&) {
    if (!download) throw;
  }
  display.message(UpdaterDisplayInterface::Info, "Downloading firmware build %u", build);
  download(serialNumber, build);
  return sTrusted(item.ReadBirdFile(name.c_str()), updaterDirectory);
}

bool FirmwareUpdate::ValidateBirdFile(BirdFile& file, Module& module, uint32_t serialNumber, bool override) {
  Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
  const std::string reason = BirdCheck::FileReason(file, serialNumber);
  if (!reason.empty()) return refuse(reason);
  Route route;
  route.serialNumber = serialNumber;
  return checkModule(module, route, file, override);
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
  }, outcome_.bytesSent);
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
        entity.transferred = 0;
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
      },
      outcome_.bytesSent, &entity.transferred);
  if (err != aErrNone) return err;
  return entity.LoaderReboot(display);
}
