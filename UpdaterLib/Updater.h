// The orchestration object of a run: its member functions implement the commands.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "aError.h"
#include "DeviceInfo.h"
#include "download/DownloadResult.h"
#include "update/FirmwareUpdate.h"
#include "update/FleetUpdate.h"
#include "update/ModuleOutcome.h"
#include "aLinkSpec.h"
#include "UpdaterDisplayInterface.h"

class BirdFile;
namespace Tessoral {
namespace Kovalink {
class Module;
}
}  // namespace Tessoral

// Four words identifying a chip in recovery mode, word 0 first.
struct Fingerprint {
  uint32_t word[4] = {0, 0, 0, 0};
};

class Updater {
public:
  Updater(const char* serverUrl, const char* updaterDirectory, UpdaterDisplayInterface& display);
  virtual ~Updater() = default;

  // Discovery (-D).
  virtual std::vector<DeviceInfo> Discover_Devices(linkType type);
  virtual std::vector<DeviceInfo> Discover_KLNetwork_Devices(uint32_t routerSerialNumber, linkType type);

  // Build list and download (-B, -G).
  // The server's builds for the module, or the failure that has been shown.
  virtual BuildListResult List_Builds(uint32_t serialNumber);
  // The server's builds for the module; empty both after a failure and when
  // there are none.
  BuildList Get_BuildList(uint32_t serialNumber);
  // The same, telling the two apart: true when the server answered (`builds`
  // then holds its list, possibly empty), false after a failure, which has
  // been shown with its cause (`builds` is then empty).
  bool Get_BuildList(uint32_t serialNumber, BuildList& builds);
  // `build` is decimal text, empty for the latest; `override` skips the check against the build list.
  virtual DownloadResult Download_Build(uint32_t serialNumber, std::string build, bool override);
  // The build stored, or 0 after a failure that has been shown.
  uint32_t Download_Firmware(uint32_t serialNumber, std::string build, bool override);
  // True when the server's build list for the module holds `build`.
  bool _valid_build(uint32_t serialNumber, uint32_t build, const char* url);

  // Update (-U): what the module's update came to. The route's transport, when
  // invalid, is the one Restrict_Transport gave.
  virtual ModuleOutcome Update_Module(FirmwareUpdate::Route route, uint32_t build, std::string birdFile,
                                      bool override);
  // The same, true when the module runs the build sent.
  bool Update_Firmware(uint32_t serialNumber, uint32_t build, std::string birdFile, uint8_t moduleAddress,
                       uint32_t routerSerialNumber, bool override);
  // Several modules side by side (-U with several -d): one outcome per module, in the order given;
  // `observer` hears each module's lines and progress.
  virtual std::vector<ModuleOutcome> Update_Modules(const std::vector<FirmwareUpdate::Route>& routes,
                                                    const FleetUpdate::Request& request,
                                                    FleetObserver& observer);
  BirdFile load_bird(const char* action, std::string birdFile, uint32_t serialNumber, uint32_t build,
                     bool downloadIfMissing);
  // Steps of the update, shared with recovery.
  bool _validate_birdfile(UpdaterDisplayInterface& out, BirdFile& file, Tessoral::Kovalink::Module& module,
                          uint32_t serialNumber);
  aErr _transfer_loader(UpdaterDisplayInterface& out, Tessoral::Kovalink::Module& module, BirdFile& file);
  aErr _transfer_firmware(UpdaterDisplayInterface& out, Tessoral::Kovalink::Module& module, BirdFile& file);
  bool _verify_return(UpdaterDisplayInterface& out, Tessoral::Kovalink::Module& module, uint32_t serialNumber,
                      uint32_t expectedBuild);
  // Up to `rounds` rounds, 1 s apart, each trying every (transport, serial number) in
  // turn; true at the first that connects.
  static bool _connect_rounds(Tessoral::Kovalink::Module& module,
                              const std::vector<std::pair<linkType, uint32_t>>& targets, int rounds);
  // Waits up to 1 s for the module's link to be running (it resynchronises after noise).
  static void _await_running_link(Tessoral::Kovalink::Module& module);

  // Recovery and fingerprint (-U -t RECOVER, -N).
  virtual bool Get_Fingerprint(Fingerprint& fp, std::string port, unsigned serial, std::string birdFile, unsigned baud,
                               bool reset);
  virtual bool Recover_Firmware(std::string port, unsigned build, unsigned baud, unsigned serial, std::string birdFile,
                                bool override);
  // Download by recovery fingerprint: the server names the module and build.
  uint32_t Download_Firmware(Fingerprint fp, std::string build, bool override);
  // After Get_Fingerprint or Recover_Firmware: whether anything went to a
  // chip. When not, the failure was the port's or the image's alone.
  bool RecoveryChipTried() const { return chipTried; }

  const std::string& ServerUrl() const { return serverUrl; }
  const std::string& UpdaterDirectory() const { return updaterDirectory; }
  // -t for -U: the only transport a module (or its router) is looked for on; linkTypeInvalid
  // (the default) looks on USB, then TCP/IP.
  void Restrict_Transport(linkType type) { transport = type; }

protected:
  std::string serverUrl;
  std::string updaterDirectory;
  UpdaterDisplayInterface& display;
  linkType transport = linkTypeInvalid;
  uint8_t chipKind = 0;
  bool chipTried = false;
};
