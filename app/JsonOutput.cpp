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
  if (spec.routerSerialNumber != 0)
    module["router_serial"] = Hex8(spec.routerSerialNumber);
  if (spec.type == linkTypeTCPIP) {
    module["ip"] = IpAddress(spec.address);
    module["port"] = spec.port;
  }
  if (device.error != 0)
    module["error"] = Error(device.error, aError_GetErrorText(device.error));
  return module;
}

json Outcome(const ModuleOutcome& outcome, uint32_t buildRequested) {
  json result = {{"serial", Hex8(outcome.serialNumber)},  {"model", outcome.model},
                 {"build_before", outcome.buildBefore},    {"build_after", outcome.buildAfter},
                 {"version_after", outcome.versionAfter},  {"succeeded", outcome.succeeded},
                 {"seconds", outcome.seconds}};
  if (outcome.current)
    result["current"] = true;
  if (!outcome.succeeded)
    result["error"] = Error(outcome.error, outcome.errorText);
  if (outcome.download.ran)
    result["download"] = DownloadMember(outcome.serialNumber, buildRequested, outcome.download.build);
  return result;
}

// The run's failure: the first module that failed says it best; else the last error line.
json RunError(const RunRecord& record, const JsonOutput::RunEnd& end) {
  for (const ModuleOutcome& outcome : record.updates.outcomes) {
    if (!outcome.succeeded && !outcome.errorText.empty())
      return Error(outcome.error, outcome.errorText);
  }
  if (!end.lastError.empty())
    return Error(0, end.lastError);
  if (end.exitCode > 128)
    return Error(0, "Interrupted by signal " + std::to_string(end.exitCode - 128));
  return Error(0, "Failed with exit code " + std::to_string(end.exitCode));
}

// The signature verdict of every BIRD image the run loaded.
json Images(const std::vector<ImageVerdict>& verdicts) {
  json images = json::array();
  for (const ImageVerdict& verdict : verdicts) {
    json image = {{"file", verdict.file},
                  {"signature", verdict.Name()},
                  {"trusted_keys_installed", verdict.keysInstalled},
                  {"accepted", verdict.Accepted()}};
    if (!verdict.keyId.empty())
      image["key_id"] = verdict.keyId;
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
  document["serial"] = Hex8(builds.serialNumber);
  // The listing's order: by version text, byte-wise.
  std::vector<std::pair<std::string, std::string>> rows(builds.builds.begin(), builds.builds.end());
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
  document["download"] = DownloadMember(download.serialNumber, download.buildRequested, download.build);
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

bool JsonOutput::Print(FILE* out, const json& document, std::string* problem) {
  // Bytes that are not UTF-8 (a server's version text) are replaced, not thrown on.
  std::string text = document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
  errno = 0;
  bool written = fwrite(text.data(), 1, text.size(), out) == text.size();
  written = fflush(out) == 0 && written;
  if (!written && problem)
    *problem = strerror(errno ? errno : EIO);
  clearerr(out);
  return written;
}

std::string JsonOutput::ProgramVersion() { return std::string("updater ") + UPDATER_VERSION; }
