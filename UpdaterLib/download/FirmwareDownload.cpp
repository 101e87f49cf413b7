// Build list (-B) and firmware download (-G).
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

#include "image/BirdFile.h"
#include "image/BuildNumber.h"
#include "store/KeyValueStore.h"
#include "Log.h"
#include "Updater.h"
#include "server/UpdateServerRequest.h"
#include "store/UpdaterStore.h"
#include "server/base64.h"

namespace {

const char* const kSpinnerLabel = "Downloading";

double sMilliseconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

// An empty server URL means the default server.
const char* sUrl(const std::string& serverUrl) { return serverUrl.empty() ? nullptr : serverUrl.c_str(); }


// Runs the one blocking request on a worker thread while the spinner turns.
bool sFetchBird(UpdaterDisplayInterface& display, const std::string& serverUrl, uint32_t serialNumber, const std::string& firmware, const std::string& buildText,
                          std::string& bird, bool no_cal) {
  std::promise<bool> promise;
  std::future<bool> result = promise.get_future();
  const std::string* url = serverUrl.empty() ? nullptr : &serverUrl;
  std::string* target = &bird;
  std::thread worker([&promise, firmware, buildText, serialNumber, no_cal, url, target] {
    bool ok = false;
    try {
      ok = UpdateServerRequest::GetBuild(serialNumber, firmware, buildText, *target, url ? url->c_str() : nullptr,
                                         no_cal);
    } catch (const std::exception& e) {
      Log::log(DEBUG_Updater, "Download worker: %s\n", e.what());
    }
    promise.set_value(ok);
  });
  display.update_spinner(true, kSpinnerLabel);
  while (result.wait_for(std::chrono::milliseconds(100)) == std::future_status::timeout)
    display.update_spinner(true, kSpinnerLabel);
  display.update_spinner(false, kSpinnerLabel);
  bool ok = result.get();
  worker.join();
  return ok;
}

uint32_t sStoreBird(UpdaterDisplayInterface& display, UpdaterStoreItem& item, uint32_t build, const std::string& bird) {
  std::string fileName = std::to_string(build) + ".bird";
  auto start = std::chrono::steady_clock::now();
  size_t length = 0;
  std::unique_ptr<unsigned char, decltype(&free)> bytes(base64_decode(bird.data(), bird.size(), &length), &free);
  Log::log(DEBUG_Updater, "Decoded %zu base64 characters into %zu bytes in %.1f ms\n", bird.size(), length,
           sMilliseconds(start));
  // A reply that is not base64 leaves nothing to store: that is a failed download.
  if (!bytes) {
    display.message(UpdaterDisplayInterface::Error, "The BIRD file for build %u could not be decoded", build);
    return 0;
  }
  // What the server sent must be an image the update or a recovery could
  // install (firmware, or a recovery loader alone); anything else would
  // overwrite a good stored file and be recorded as the latest.
  BirdFile check;
  check.filename = fileName;
  if (!check.LoadBytes(bytes.get(), length) ||
      check.FirmwareBytes() + check.ImageBytes(BirdFile::BLOCK_LOADER) == 0) {
    display.message(UpdaterDisplayInterface::Error, "The server sent no valid BIRD file for build %u", build);
    return 0;
  }
  std::string now = KeyValueStore::Timestamp();
  start = std::chrono::steady_clock::now();
  aErr written = item.WriteFile(fileName.c_str(), bytes.get(), length);
  Log::log(DEBUG_Updater, "Wrote %s (%zu bytes) in %.1f ms\n", fileName.c_str(), length, sMilliseconds(start));
  // Record only a file that is really there, so the history never names a missing file.
  if (written != aErrNone) {
    display.message(UpdaterDisplayInterface::Error, "Failed to write file with %d", static_cast<int>(written));
    return 0;
  }
  item.settings.Add(UpdaterStoreItem::KEY_LATEST_DOWNLOAD, fileName);
  item.settings.Add(UpdaterStoreItem::KEY_LAST_DOWNLOAD_DATE, now);
  item.settings.Save();
  return build;
}

}  // namespace

BuildList Updater::Get_BuildList(uint32_t serialNumber) {
  BuildList builds;
  if (!UpdateServerRequest::ping(sUrl(serverUrl))) {
    display.message(UpdaterDisplayInterface::Error, "Server request failed for %s", serverUrl.c_str());
    return builds;
  }
  if (!UpdateServerRequest::GetBuildList(serialNumber, builds, sUrl(serverUrl)))
    display.message(UpdaterDisplayInterface::Error, "Failed to retrieve builds for %08X", serialNumber);
  return builds;
}

bool Updater::_valid_build(uint32_t serialNumber, uint32_t build, const char* url) {
  BuildList builds;
  if (!UpdateServerRequest::GetBuildList(serialNumber, builds, url))
    return false;
  for (const auto& entry : builds) {
    uint32_t listed = 0;
    // A key that is not a number names no build; it must not match build 0.
    if (!BuildNumber::FromText(entry.first, listed)) {
      Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", entry.first.c_str());
      continue;
    }
    if (listed == build)
      return true;
  }
  return false;
}

uint32_t Updater::Download_Firmware(uint32_t serialNumber, std::string build, bool override, bool no_cal) {
  uint32_t buildNumber = 0;
  if (!build.empty() && !BuildNumber::FromText(build, buildNumber)) {
    display.message(UpdaterDisplayInterface::Error, "Build number '%s' must be an number", build.c_str());
    return 0;
  }
  if (serialNumber == 0) {
    display.message(UpdaterDisplayInterface::Error, "Serial Number must be non-zero");
    return 0;
  }
  if (!UpdateServerRequest::ping(sUrl(serverUrl))) {
    display.message(UpdaterDisplayInterface::Error, "Server request failed for %s", serverUrl.c_str());
    return 0;
  }

  UpdaterStoreItem item;
  try {
    UpdaterStore store(updaterDirectory);
    if (!store.FindDevice(serialNumber, &item)) {
      Log::log(DEBUG_APP, "Could not find device in our update history.\n");
      item = store.AddDevice(serialNumber);
    }
  } catch (const std::exception& e) {
    Log::log(DEBUG_Updater, "%s\n", e.what());
    display.message(UpdaterDisplayInterface::Error, "Could not create directory for storing BIRD file");
    return 0;
  }

  std::string latest, firmware;
  if (!UpdateServerRequest::QueryBuild(serialNumber, latest, firmware, sUrl(serverUrl))) {
    display.message(UpdaterDisplayInterface::Error, "No build information for device");
    return 0;
  }
  // Build 0 names no build: like no -b at all, it asks for the latest.
  if (buildNumber == 0 && !BuildNumber::FromText(latest, buildNumber))
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", latest.c_str());
  if (buildNumber == 0) {
    display.message(UpdaterDisplayInterface::Error, "The server names no build for device %08X", serialNumber);
    return 0;
  }

  display.message(UpdaterDisplayInterface::Info, "Retrieving build %u", buildNumber);
  if (override) {
    display.message(UpdaterDisplayInterface::Info, "Override specified, skipping validation of build %u", buildNumber);
  } else {
    display.message(UpdaterDisplayInterface::Info, "Validating build %u with server", buildNumber);
    if (!_valid_build(serialNumber, buildNumber, sUrl(serverUrl))) {
      display.message(UpdaterDisplayInterface::Error, "No valid build %u", buildNumber);
      return 0;
    }
    display.message(UpdaterDisplayInterface::Info, "Build %u is valid", buildNumber);
  }

  std::string bird;
  if (!sFetchBird(display, serverUrl, serialNumber, firmware, std::to_string(buildNumber), bird, no_cal))
    display.message(UpdaterDisplayInterface::Error, "Download failed");
  if (bird.empty()) {
    display.message(UpdaterDisplayInterface::Error, "Failed to retreive a valid BIRD file");
    return 0;
  }
  return sStoreBird(display, item, buildNumber, bird);
}
