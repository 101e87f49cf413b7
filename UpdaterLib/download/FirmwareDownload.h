// The build list (-B) and the firmware download (-G) for one module.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>

#include "UpdaterDisplayInterface.h"
#include "download/DownloadResult.h"
#include "update/ErrorRecordingDisplay.h"

class BirdFile;
class UpdaterStoreItem;

class FirmwareDownload {
public:
  // An empty server URL means the default server.
  FirmwareDownload(const std::string& serverUrl, const std::string& updaterDirectory, UpdaterDisplayInterface& display);

  // The server's list, or the failure that has been shown with its cause.
  BuildListResult BuildList(uint32_t serialNumber);
  // The build stored and where, or build 0 after a failure that has been shown.
  DownloadResult Download(uint32_t serialNumber, const std::string& build, bool override);
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
  bool Fetch(uint32_t serialNumber, const std::string& firmware, uint32_t build, std::string& bird);
  // The download's steps; the build stored, or 0.
  uint32_t download(uint32_t serialNumber, uint32_t buildNumber, bool override, DownloadResult& result);
  uint32_t Store(UpdaterStoreItem& item, uint32_t build, const std::string& bird);
  // False (said) when the image's signature refuses it.
  bool Trusted(const BirdFile& file);
  // Records the build as the latest download; the caller holds the entry's lock.
  uint32_t Record(UpdaterStoreItem& item, uint32_t build, const std::string& when);
  static bool StoredMeanwhile(const UpdaterStoreItem& item, uint32_t build, time_t since);
  // Keeps the code of the step that failed first, for the result; false, for the step to return.
  bool Fail(aErr code);
  // The kept code, or one for a failure no step named.
  aErr Failure() const;

  std::string serverUrl;
  std::string updaterDirectory;
  // Keeps the last error line: the text of a failed result.
  ErrorRecordingDisplay display;
  aErr failure = aErrNone;
};
