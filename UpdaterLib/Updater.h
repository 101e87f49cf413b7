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
#include "recovery/Fingerprint.h"
#include "recovery/RecoveryOutcome.h"
#include "aLinkSpec.h"
#include "UpdaterDisplayInterface.h"

class BirdFile;
namespace Tessoral {
namespace Kovalink {
class Module;
}
}  // namespace Tessoral

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

  // Recovery and fingerprint (-U -t RECOVER, -N).
  // The chip in recovery mode on `port` ("USB": the i.MX boot ROM's HID device): its family and fingerprint.
  virtual FingerprintOutcome Read_Fingerprint(const std::string& port, unsigned serial, const std::string& birdFile,
                                              unsigned baud, bool reset);
  // Programs the chip in recovery mode on `port`; build 0: the server's choice, serial 0: unknown.
  virtual RecoveryOutcome Recover(const std::string& port, unsigned build, unsigned baud, unsigned serial,
                                  const std::string& birdFile);
  bool Get_Fingerprint(Fingerprint& fp, std::string port, unsigned serial, std::string birdFile, unsigned baud,
                       bool reset);
  bool Recover_Firmware(std::string port, unsigned build, unsigned baud, unsigned serial, std::string birdFile,
                        bool override);
  // Download by recovery fingerprint: the server names the module and build.
  uint32_t Download_Firmware(Fingerprint fp, std::string build, bool override);

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
};
