// The build list (-B) and the firmware download (-G) for one module.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>

#include "Updater.h"
#include "UpdaterDisplayInterface.h"

class BirdFile;
class UpdaterStoreItem;

class FirmwareDownload {
public:
  // An empty server URL means the default server.
  FirmwareDownload(const std::string& serverUrl, const std::string& updaterDirectory, UpdaterDisplayInterface& display);

  // True when the server answered, `builds` then holding its list (which may be
  // empty); false after a failure, which has been shown with its cause.
  bool BuildList(uint32_t serialNumber, ::BuildList& builds);
  // The build stored, or 0 after a failure that has been shown.
  uint32_t Download(uint32_t serialNumber, const std::string& build, bool override, bool no_cal);
  // True when the server's build list for the module holds `build`.
  static bool ValidBuild(uint32_t serialNumber, uint32_t build, const char* url);

private:
  const char* Url() const;
  // The URL as the user should read it in a message.
  std::string ShownUrl() const;
  bool Ping();
  bool OpenEntry(uint32_t serialNumber, UpdaterStoreItem& item);
  uint32_t ChooseBuild(uint32_t serialNumber, uint32_t requested, std::string& firmware);
  bool CheckBuild(uint32_t serialNumber, uint32_t build, bool override);
  bool Fetch(uint32_t serialNumber, const std::string& firmware, uint32_t build, bool no_cal, std::string& bird);
  uint32_t Store(UpdaterStoreItem& item, uint32_t build, const std::string& bird);
  // False (said) when the image's signature refuses it.
  bool Trusted(const BirdFile& file);
  // Records the build as the latest download; the caller holds the entry's lock.
  uint32_t Record(UpdaterStoreItem& item, uint32_t build, const std::string& when);
  static bool StoredMeanwhile(const UpdaterStoreItem& item, uint32_t build, time_t since);

  std::string serverUrl;
  std::string updaterDirectory;
  UpdaterDisplayInterface& display;
};
