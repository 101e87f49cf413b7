#include "JsonOutput.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "Log.h"
#include "RecoveryJson.h"
#include "aDefs.h"
#include "aNumber.h"
#include "image/ImageTrust.h"

using json = JsonOutput::Json;

namespace {

std::string Hex8(uint32_t value) {
  char text[9];
  snprintf(text, sizeof(text), "%08X", value);
  return text;
}

const char* TransportName(uint32_t type) {
  switch (type) {
    case linkTypeUSB: return "USB";
    case linkTypeTCPIP: return "TCPIP";
    default: return "Unknown";
  }
}

json Error(int code, const std::string& text) { return json{{"code", code}, {"text", text}}; }

json DownloadMember(uint32_t serialNumber, uint32_t buildRequested, uint32_t build) {
  return json{{"serial", Hex8(serialNumber)},
              {"build_requested", buildRequested},
              {"build", build},
              {"succeeded", build != 0}};
}

json DownloadMember(const DownloadResult& download) {
  json member = DownloadMember(download.serialNumber, download.buildRequested, download.build);
  if (download.build != 0) {
    member["file"] = download.file;
    member["path"] = download.path;
  }
  return member;
}

const char* StateName(ModuleState state) {
  switch (state) {
    case ModuleState::Updated: return "updated";
    case ModuleState::InLoader: return "in_loader";
    case ModuleState::NotBack: return "not_back";
    case ModuleState::OtherBuild: return "other_build";
    case ModuleState::Untouched: break;
  }
  return "untouched";
}

const char* VerdictName(CheckVerdict::Verdict verdict) {
  switch (verdict) {
    case CheckVerdict::Accepted: return "accepted";
    case CheckVerdict::AcceptedIfFits: return "accepted_if_fits";
    case CheckVerdict::Refused: break;
  }
  return "refused";
}

std::string Version(unsigned major, unsigned minor, unsigned patch) {
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

std::string IpAddress(uint32_t address) {
  const uint8_t* ip = reinterpret_cast<const uint8_t*>(&address);  // network byte order
  return std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) + "." +
         std::to_string(ip[3]);
}

json Module(const DeviceInfo& device) {
  const linkSpec& spec = device.spec;
  json module = {{"serial", Hex8(spec.serialNumber)},
                 {"transport", TransportName(spec.type)},
                 {"module_address", spec.module},
                 {"router_address", spec.router},
                 {"model", aDefs_GetModelName(spec.model)},
                 {"model_code", spec.model},
                 {"version", Version(device.major, device.minor, device.patch)},
                 {"build", device.build}};
  // A module reached directly names itself as its router: it has none.
  if (spec.routerSerialNumber != 0 && spec.routerSerialNumber != spec.serialNumber)
    module["router_serial"] = Hex8(spec.routerSerialNumber);
  if (spec.type == linkTypeTCPIP) {
    module["ip"] = IpAddress(spec.address);
    module["port"] = spec.port;
  }
  if (device.error != 0)
    module["error"] = Error(device.error, aError_GetErrorText(device.error));
  return module;
}

json Place(const ModulePlace& place) {
  json member = {{"transport", TransportName(place.transport)}};
  if (place.transport == linkTypeUSB && (place.usbBus != 0 || place.usbDevice != 0)) {
    member["usb_bus"] = place.usbBus;
    member["usb_device"] = place.usbDevice;
  }
  // Behind a router the module has no address of its own on the transport.
  if (place.transport == linkTypeTCPIP && place.routerSerialNumber == 0) {
    member["ip"] = IpAddress(place.address);
    member["port"] = place.port;
  }
  if (place.routerSerialNumber != 0) {
    member["router_serial"] = Hex8(place.routerSerialNumber);
    member["module_address"] = place.moduleAddress;
  }
  return member;
}

json Outcome(const ModuleOutcome& outcome, uint32_t buildRequested) {
  json result = {{"serial", Hex8(outcome.serialNumber)},  {"model", outcome.model},
                 {"build_before", outcome.buildBefore},    {"version_before", outcome.versionBefore},
                 {"build_after", outcome.buildAfter},      {"version_after", outcome.versionAfter},
                 {"bytes_sent", outcome.bytesSent},        {"state", StateName(outcome.state)},
                 {"succeeded", outcome.succeeded},         {"seconds", outcome.seconds}};
  if (outcome.place.Reached())
    result["place"] = Place(outcome.place);
  if (outcome.current)
    result["current"] = true;
  if (!outcome.succeeded)
    result["error"] = Error(outcome.error, outcome.errorText);
  if (outcome.download.ran)
    result["download"] = DownloadMember(outcome.serialNumber, buildRequested, outcome.download.build);
  return result;
}

// The text of the first failure among the results; empty when none failed with one.
std::string FailedResult(const RunRecord& record, int& code) {
  for (const ModuleOutcome& outcome : record.updates.outcomes) {
    if (!outcome.succeeded && !outcome.errorText.empty()) {
      code = outcome.error;
      return outcome.errorText;
    }
  }
  code = record.refusal.code;
  if (!record.refusal.text.empty())
    return record.refusal.text;
  if (record.download.ran && record.download.result.build == 0) {
    code = record.download.result.error;
    return record.download.result.errorText;
  }
  if (record.builds.ran && !record.builds.result.answered) {
    code = record.builds.result.error;
    return record.builds.result.errorText;
  }
  code = 0;
  if (record.check.ran && record.check.verdict.verdict == CheckVerdict::Refused) {
    code = record.check.verdict.error;
    return record.check.verdict.reason;
  }
  return std::string();
}

// The run's failure: the first module that failed says it best; else the refusal or the
// failed command's own line.
json RunError(const RunRecord& record, const JsonOutput::RunEnd& end) {
  int code = 0;
  std::string text = FailedResult(record, code);
  if (!text.empty())
    return Error(code, text);
  if (end.exitCode > 128)
    return Error(aErrCancel, "Interrupted by signal " + std::to_string(end.exitCode - 128));
  // No step recorded why: the one failure without a code.
  return Error(0, "Failed with exit code " + std::to_string(end.exitCode));
}

// The signature verdict of every BIRD image the run loaded, each image once: a file
// that two steps load (-G stores it and -U installs it, -C checks it for -U) is one image.
json Images(const std::vector<ImageVerdict>& verdicts) {
  json images = json::array();
  for (auto verdict = verdicts.begin(); verdict != verdicts.end(); ++verdict) {
    if (std::any_of(verdicts.begin(), verdict, [&](const ImageVerdict& earlier) { return earlier.Repeats(*verdict); }))
      continue;
    json image = {{"file", verdict->file},
                  {"signature", verdict->Name()},
                  {"trusted_keys_installed", verdict->keysInstalled},
                  {"accepted", verdict->Accepted()}};
    if (!verdict->keyId.empty())
      image["key_id"] = verdict->keyId;
    images.push_back(image);
  }
  return images;
}

}  // namespace

void JsonOutput::Discovery(json& document, const RunRecord::Discovery& discovery) {
  // A plain search names its transport; a router search may have found its own.
  uint32_t type = discovery.type;
  if (type == linkTypeInvalid && !discovery.devices.empty())
    type = discovery.devices.front().spec.type;
  document["transport"] = TransportName(type);
  if (discovery.routerSerialNumber != 0)
    document["router"] = Hex8(discovery.routerSerialNumber);
  json modules = json::array();
  for (const DeviceInfo& device : discovery.devices)
    modules.push_back(Module(device));
  document["modules"] = modules;
}

void JsonOutput::Builds(json& document, const RunRecord::Builds& builds) {
  document["serial"] = Hex8(builds.result.serialNumber);
  // The listing's order: by version text, byte-wise.
  std::vector<std::pair<std::string, std::string>> rows(builds.result.builds.begin(), builds.result.builds.end());
  std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
  json list = json::array();
  for (const auto& row : rows) {
    uint32_t build = 0;
    if (aNumber_ParseU32(row.first.c_str(), 10, &build) != aErrNone) {
      Log::log(DEBUG_Updater, "Leaving build [%s] out of the result: not a build number\n", row.first.c_str());
      continue;
    }
    list.push_back(json{{"build", build}, {"version", row.second}});
  }
  document["builds"] = list;
}

void JsonOutput::Download(json& document, const RunRecord::Download& download) {
  document["download"] = DownloadMember(download.result);
}

void JsonOutput::Check(json& document, const RunRecord::Check& check) {
  document["check"] = json{{"file", check.verdict.file},
                           {"verdict", VerdictName(check.verdict.verdict)},
                           {"reason", check.verdict.reason}};
}

// A station asks for no build of its own: 0, the updater chose.
json JsonOutput::Result(const ModuleOutcome& outcome) { return Outcome(outcome, 0); }

void JsonOutput::Updates(json& document, const std::vector<ModuleOutcome>& outcomes, uint32_t buildRequested) {
  document["build_requested"] = buildRequested;
  json results = json::array();
  for (const ModuleOutcome& outcome : outcomes)
    results.push_back(Outcome(outcome, buildRequested));
  document["results"] = results;
}

json JsonOutput::Document(const RunRecord& record, const RunEnd& end) {
  json document = {{"command", end.command}, {"exit_code", end.exitCode}, {"seconds", end.seconds}};
  if (end.exitCode != 0)
    document["error"] = RunError(record, end);
  if (record.download.ran)
    Download(document, record.download);
  if (record.check.ran)
    Check(document, record.check);
  std::vector<ImageVerdict> verdicts = ImageTrust::Recorded();
  if (!verdicts.empty())
    document["images"] = Images(verdicts);
  if (end.command == "discover")
    Discovery(document, record.discovery);
  else if (end.command == "builds" && record.builds.ran)
    Builds(document, record.builds);
  else if (end.command == "update")
    Updates(document, record.updates.outcomes, record.updates.buildRequested);
  if (record.fingerprint.ran)
    FingerprintRead(document, record.fingerprint);
  if (record.recovery.ran && end.command == "update")
    RecoveryResult(document, record.recovery);
  if (record.store.ran)
    document["store"] = StoreJson(record.store);
  return document;
}

bool JsonOutput::Print(FILE* out, const json& document, std::string* problem, bool oneLine) {
  // Bytes that are not UTF-8 (a server's version text) are replaced, not thrown on.
  std::string text = document.dump(oneLine ? -1 : 2, ' ', false, json::error_handler_t::replace) + "\n";
  errno = 0;
  bool written = fwrite(text.data(), 1, text.size(), out) == text.size();
  written = fflush(out) == 0 && written;
  if (!written && problem)
    *problem = strerror(errno ? errno : EIO);
  clearerr(out);
  return written;
}

std::string JsonOutput::ProgramVersion() { return std::string("updater ") + UPDATER_VERSION; }
