#include "download/FirmwareDownload.h"

#include <chrono>
#include <ctime>
#include <sys/stat.h>
#include <exception>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Interrupt.h"
#include "Log.h"
#include "ResultLines.h"
#include "aTime.h"
#include "image/BirdFile.h"
#include "image/ImageTrust.h"
#include "image/BuildNumber.h"
#include "server/HTTPRequest.h"
#include "server/UpdateServerRequest.h"
#include "server/base64.h"
#include "store/KeyValueStore.h"
#include "store/BuildPath.h"
#include "store/StoreLock.h"
#include "store/UpdaterStore.h"

namespace {

const char* const kSpinnerLabel = "Downloading";
const char* const kInterrupted = "Download interrupted: nothing was stored";

double sMillisecondsSince(uint64_t startUS) { return static_cast<double>(aTime_GetMonotonicUS() - startUS) / 1000.0; }

// Joins the worker on every way out of the caller, exceptions included: a
// joinable thread that is destroyed ends the process.
class JoiningThread {
public:
  explicit JoiningThread(std::thread thread) : worker(std::move(thread)) {}
  ~JoiningThread() {
    if (worker.joinable())
      worker.join();
  }
  JoiningThread(const JoiningThread&) = delete;
  JoiningThread& operator=(const JoiningThread&) = delete;

private:
  std::thread worker;
};

// What the worker hands back besides its result, read only after the join.
struct FetchOutput {
  std::string bird;
  std::string cause;
};

// The spinner turns until the server says how large its reply is; from then on
// the bar shows the bytes, the rate and the time left.
void sShowFetch(UpdaterDisplayInterface& display, std::future<bool>& result, const HTTPRequest::Meter& meter) {
  bool metered = false;
  display.update_spinner(true, kSpinnerLabel);
  while (result.wait_for(std::chrono::milliseconds(100)) == std::future_status::timeout) {
    const uint64_t total = meter.total, done = meter.done;
    if (total == 0 || done > total) {
      display.update_spinner(true, kSpinnerLabel);
      continue;
    }
    // A new start for the rate; the end is only cleared: "-v"'s line is about what a module was sent.
    if (!metered)
      display.display_progress(true);
    metered = true;
    display.update_transfer(done, total, kSpinnerLabel);
  }
  display.update_spinner(false, kSpinnerLabel);
}

// Runs the one blocking request on a worker thread while the spinner turns.
// Whatever the request throws travels through the promise; nothing escapes
// the worker.
bool sFetchBird(UpdaterDisplayInterface& display, const std::string& serverUrl, uint32_t serialNumber,
                const std::string& firmware, const std::string& buildText, FetchOutput& output) {
  std::promise<bool> promise;
  std::future<bool> result = promise.get_future();
  const std::string* url = serverUrl.empty() ? nullptr : &serverUrl;
  FetchOutput* target = &output;
  HTTPRequest::Meter meter;
  HTTPRequest::Meter* shared = &meter;
  bool ok = false;
  // The worker's -k lines name the module the caller works for, as the caller's own do.
  const uint32_t module = Log::ThreadModule();
  {
    JoiningThread worker(std::thread([&promise, firmware, buildText, serialNumber, url, target, shared, module] {
      Log::ModuleScope logScope(module);
      HTTPRequest::Metered metered(shared);
      try {
        promise.set_value(UpdateServerRequest::GetBuild(serialNumber, firmware, buildText, target->bird,
                                                        url ? url->c_str() : nullptr, &target->cause));
      } catch (...) {
        promise.set_exception(std::current_exception());
      }
    }));
    sShowFetch(display, result, meter);
    try {
      ok = result.get();
    } catch (const std::exception& e) {
      Log::log(DEBUG_Updater, "Download worker: %s\n", e.what());
      output.cause = e.what();
    }
  }
  return ok;
}

}  // namespace

FirmwareDownload::FirmwareDownload(const std::string& serverUrl_, const std::string& updaterDirectory_,
                                   UpdaterDisplayInterface& display_)
    : serverUrl(serverUrl_), updaterDirectory(updaterDirectory_), display(display_) {}

const char* FirmwareDownload::Url() const { return serverUrl.empty() ? nullptr : serverUrl.c_str(); }

std::string FirmwareDownload::ShownUrl() const {
  return serverUrl.empty() ? UpdateServerRequest::default_url : serverUrl;
}

bool FirmwareDownload::Ping() {
  std::string cause;
  if (UpdateServerRequest::ping(Url(), &cause))
    return true;
  display.message(UpdaterDisplayInterface::Error, "Server request failed for %s: %s", ShownUrl().c_str(),
                  cause.c_str());
  return Fail(aErrConnection);
}

bool FirmwareDownload::Fail(aErr code) {
  if (failure == aErrNone)
    failure = code;
  return false;
}

aErr FirmwareDownload::Failure() const {
  if (failure != aErrNone)
    return failure;
  return Interrupt::Requested() ? aErrCancel : aErrUnknown;
}

BuildListResult FirmwareDownload::BuildList(uint32_t serialNumber) {
  BuildListResult result;
  result.serialNumber = serialNumber;
  failure = aErrNone;
  std::string cause;
  const bool reached = Ping();
  result.answered = reached && UpdateServerRequest::GetBuildList(serialNumber, result.builds, Url(), &cause);
  // The server answered its ping but not for this module: it has nothing for it.
  if (reached && !result.answered) {
    display.message(UpdaterDisplayInterface::Error, "Failed to retrieve builds for %08X: %s", serialNumber,
                    cause.c_str());
    Fail(aErrNotFound);
  }
  if (!result.answered) {
    result.builds.clear();
    result.errorText = display.LastError();
    result.error = Failure();
  }
  return result;
}

bool FirmwareDownload::ValidBuild(uint32_t serialNumber, uint32_t build, const char* url) {
  ::BuildList builds;
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

bool FirmwareDownload::OpenEntry(uint32_t serialNumber, UpdaterStoreItem& item) {
  try {
    UpdaterStore store(updaterDirectory);
    if (!store.FindDevice(serialNumber, &item)) {
      Log::log(DEBUG_APP, "Could not find device in our update history.\n");
      item = store.AddDevice(serialNumber);
    }
    return true;
  } catch (const std::exception& e) {
    Log::log(DEBUG_Updater, "%s\n", e.what());
    display.message(UpdaterDisplayInterface::Error, "Could not create directory for storing BIRD file");
    return Fail(aErrIO);
  }
}

uint32_t FirmwareDownload::ChooseBuild(uint32_t serialNumber, uint32_t requested, std::string& firmware) {
  std::string latest, cause;
  if (!UpdateServerRequest::QueryBuild(serialNumber, latest, firmware, Url(), &cause)) {
    display.message(UpdaterDisplayInterface::Error, "No build information for device: %s", cause.c_str());
    Fail(aErrNotFound);
    return 0;
  }
  // Build 0 names no build: like no -b at all, it asks for the latest.
  uint32_t build = requested;
  if (build == 0 && !BuildNumber::FromText(latest, build))
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", latest.c_str());
  if (build == 0) {
    display.message(UpdaterDisplayInterface::Error, "The server names no build for device %08X", serialNumber);
    Fail(aErrNotFound);
  }
  return build;
}

bool FirmwareDownload::CheckBuild(uint32_t serialNumber, uint32_t build, bool override) {
  if (override) {
    display.message(UpdaterDisplayInterface::Info, "Override specified, skipping validation of build %u", build);
    return true;
  }
  display.message(UpdaterDisplayInterface::Info, "Validating build %u with server", build);
  if (!ValidBuild(serialNumber, build, Url())) {
    display.message(UpdaterDisplayInterface::Error, "No valid build %u", build);
    return Fail(aErrNotFound);
  }
  display.message(UpdaterDisplayInterface::Info, "Build %u is valid", build);
  return true;
}

bool FirmwareDownload::Fetch(uint32_t serialNumber, const std::string& firmware, uint32_t build, std::string& bird) {
  FetchOutput output;
  bool ok = sFetchBird(display, serverUrl, serialNumber, firmware, std::to_string(build), output);
  if (Interrupt::Requested()) {
    display.message(UpdaterDisplayInterface::Error, "%s", kInterrupted);
    return Fail(aErrCancel);
  }
  if (!ok)
    display.message(UpdaterDisplayInterface::Error, "Download failed: %s", output.cause.c_str());
  if (output.bird.empty()) {
    display.message(UpdaterDisplayInterface::Error, "Failed to retreive a valid BIRD file");
    // A request that failed did not reach the file; a reply without one is not a valid reply.
    return Fail(ok ? aErrParse : aErrConnection);
  }
  bird.swap(output.bird);
  return true;
}

uint32_t FirmwareDownload::Store(UpdaterStoreItem& item, uint32_t build, const std::string& bird) {
  std::string fileName = std::to_string(build) + ".bird";
  uint64_t start = aTime_GetMonotonicUS();
  std::vector<uint8_t> bytes;
  bool decoded = base64_decode(bird.data(), bird.size(), bytes);
  Log::log(DEBUG_Updater, "Decoded %zu base64 characters into %zu bytes in %.1f ms\n", bird.size(), bytes.size(),
           sMillisecondsSince(start));
  // A reply that is not base64 leaves nothing to store: that is a failed download.
  if (!decoded) {
    display.message(UpdaterDisplayInterface::Error, "The BIRD file for build %u could not be decoded", build);
    Fail(aErrParse);
    return 0;
  }
  // What the server sent must be an image the update or a recovery could
  // install (firmware, or a recovery loader alone); anything else would
  // overwrite a good stored file and be recorded as the latest.
  BirdFile check;
  // Named by where it is stored, as the update that loads it from there names it.
  check.filename = BuildPath(item.Path().c_str(), fileName.c_str(), nullptr);
  if (!check.LoadBytes(bytes.data(), bytes.size()) ||
      check.FirmwareBytes() + check.ImageBytes(BirdFile::BLOCK_LOADER) == 0) {
    display.message(UpdaterDisplayInterface::Error, "The server sent no valid BIRD file for build %u", build);
    Fail(aErrParse);
    return 0;
  }
  if (!Trusted(check)) {
    Fail(aErrParse);
    return 0;
  }
  std::string now = KeyValueStore::Timestamp();
  // The entry's lock covers the sweep of temporaries inside WriteFile, the
  // write and the record.
  StoreLock entry = StoreLock::ForEntry(item.Path(), &display);
  if (!entry.Held()) {
    Fail(aErrBusy);
    return 0;
  }
  start = aTime_GetMonotonicUS();
  std::string problem;
  aErr written = item.WriteFile(fileName.c_str(), bytes.data(), bytes.size(), &problem);
  Log::log(DEBUG_Updater, "Wrote %s (%zu bytes) in %.1f ms\n", fileName.c_str(), bytes.size(),
           sMillisecondsSince(start));
  // Record only a file that is really there, so the history never names a missing file.
  if (written == aErrCancel) {
    display.message(UpdaterDisplayInterface::Error, "%s", kInterrupted);
    Fail(aErrCancel);
    return 0;
  }
  if (written != aErrNone) {
    display.message(UpdaterDisplayInterface::Error, "Failed to write file %s", problem.c_str());
    Fail(written);
    return 0;
  }
  return Record(item, build, now);
}

// Nothing a trusted key did not sign reaches the store, once a key is installed.
bool FirmwareDownload::Trusted(const BirdFile& file) {
  ImageVerdict verdict = ImageTrust::Judge(file, updaterDirectory);
  if (!verdict.Accepted())
    display.message(UpdaterDisplayInterface::Error, "%s", verdict.Refusal().c_str());
  return verdict.Accepted();
}

uint32_t FirmwareDownload::Record(UpdaterStoreItem& item, uint32_t build, const std::string& when) {
  item.settings.Add(UpdaterStoreItem::KEY_LATEST_DOWNLOAD, std::to_string(build) + ".bird");
  item.settings.Add(UpdaterStoreItem::KEY_LAST_DOWNLOAD_DATE, when);
  item.AddEvent(HistoryEvent::Download(build, std::to_string(build) + ".bird"));
  item.SaveSettings(&display);
  ResultLines result;  // what -q keeps of a download
  display.message(UpdaterDisplayInterface::Info, "Stored build %u in %s", build,
                  BuildPath(item.Path().c_str(), (std::to_string(build) + ".bird").c_str(), nullptr).c_str());
  return build;
}

// The build's file as another run stored it while this one waited: a good
// file written since `since`.
bool FirmwareDownload::StoredMeanwhile(const UpdaterStoreItem& item, uint32_t build, time_t since) {
  std::string fileName = std::to_string(build) + ".bird";
  struct stat info;
  if (stat(BuildPath(item.Path().c_str(), fileName.c_str(), nullptr).c_str(), &info) != 0 || info.st_mtime < since)
    return false;
  try {
    item.ReadBirdFile(fileName.c_str());
    return true;
  } catch (const std::exception& e) {
    Log::log(DEBUG_Updater, "%s\n", e.what());
    return false;
  }
}

DownloadResult FirmwareDownload::Download(uint32_t serialNumber, const std::string& build, bool override) {
  DownloadResult result;
  result.serialNumber = serialNumber;
  failure = aErrNone;
  uint32_t buildNumber = 0;
  if (!build.empty() && !BuildNumber::FromText(build, buildNumber)) {
    display.message(UpdaterDisplayInterface::Error, "Build number '%s' must be an number", build.c_str());
    Fail(aErrParam);
  } else if (serialNumber == 0) {
    display.message(UpdaterDisplayInterface::Error, "Serial Number must be non-zero");
    Fail(aErrParam);
  } else {
    result.build = download(serialNumber, buildNumber, override, result);
  }
  // A text that is not a number asked for no build.
  result.buildRequested = buildNumber;
  if (result.build == 0) {
    result.file.clear();
    result.path.clear();
    result.errorText = display.LastError();
    result.error = Failure();
  }
  return result;
}

uint32_t FirmwareDownload::download(uint32_t serialNumber, uint32_t buildNumber, bool override,
                                    DownloadResult& result) {
  UpdaterStoreItem item;
  if (!Ping() || !OpenEntry(serialNumber, item))
    return 0;
  std::string firmware, bird;
  buildNumber = ChooseBuild(serialNumber, buildNumber, firmware);
  if (buildNumber == 0)
    return 0;
  display.message(UpdaterDisplayInterface::Info, "Retrieving build %u", buildNumber);
  if (!CheckBuild(serialNumber, buildNumber, override))
    return 0;
  result.file = std::to_string(buildNumber) + ".bird";
  result.path = BuildPath(item.Path().c_str(), result.file.c_str(), nullptr);
  // One run fetches a build at a time; a run that finds another fetching the
  // same build waits, then takes the file that one stored.
  time_t waitStart = time(nullptr);
  StoreLock downloading = StoreLock::ForDownload(item.Path(), serialNumber, buildNumber, display);
  if (!downloading.Held()) {
    Fail(Interrupt::Requested() ? aErrCancel : aErrBusy);
    return 0;
  }
  if (downloading.Waited() && StoredMeanwhile(item, buildNumber, waitStart)) {
    display.message(UpdaterDisplayInterface::Info, "Build %u was stored meanwhile by another run; using it",
                    buildNumber);
    result.storedMeanwhile = true;
    StoreLock entry = StoreLock::ForEntry(item.Path(), &display);
    if (entry.Held())
      return Record(item, buildNumber, KeyValueStore::Timestamp());
    Fail(aErrBusy);
    return 0;
  }
  if (!Fetch(serialNumber, firmware, buildNumber, bird))
    return 0;
  return Store(item, buildNumber, bird);
}
