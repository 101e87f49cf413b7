// The Updater of a --json run: runs each command as usual and keeps what it
// returned in a RunRecord, for the document printed at the end.
#pragma once
#include <string>

#include "ErrorRecorder.h"
#include "RunRecord.h"
#include "Updater.h"

class RecordingUpdater : public Updater {
public:
  // `display` must be the recorder wrapping the run's console; it is what the
  // commands write to.
  RecordingUpdater(const char* serverUrl, const char* updaterDirectory, ErrorRecorder& display, RunRecord& record);

  std::vector<DeviceInfo> Discover_Devices(linkType type) override;
  std::vector<DeviceInfo> Discover_KLNetwork_Devices(uint32_t routerSerialNumber, linkType type) override;
  bool Get_BuildList(uint32_t serialNumber, BuildList& builds) override;
  using Updater::Get_BuildList;
  uint32_t Download_Firmware(uint32_t serialNumber, std::string build, bool override, bool no_cal) override;
  using Updater::Download_Firmware;
  bool Update_Firmware(uint32_t serialNumber, uint32_t build, std::string birdFile, uint8_t moduleAddress,
                       uint32_t routerSerialNumber, bool override) override;
  std::vector<ModuleOutcome> Update_Modules(const std::vector<FirmwareUpdate::Route>& routes,
                                            const FleetUpdate::Request& request,
                                            FleetObserver& observer) override;

private:
  // Starts the outcome of one module's update; Finish fills in how it ended.
  ModuleOutcome Begin(uint32_t serialNumber, uint32_t build);
  void Finish(ModuleOutcome& outcome, bool succeeded, uint64_t startUS);

  ErrorRecorder& recorder_;
  RunRecord& record_;
  // An update may download on its own: that is part of the
  // update's result, not a -G of its own.
  bool updating_ = false;
};
