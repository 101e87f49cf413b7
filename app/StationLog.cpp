#include "StationLog.h"



#include "FleetConsole.h"
#include "aDefs.h"
#include "Log.h"

using Json = JsonOutput::Json;

namespace {

std::string Words(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : ", ") + word;
  return text;
}

// What a module's result line says after its serial number.
std::string ResultText(const ModuleOutcome& o) {
  char text[2400];
  if (o.current)
    snprintf(text, sizeof(text), "current (build %u)", o.buildBefore);
  else if (o.succeeded)
    snprintf(text, sizeof(text), "updated, build %u -> %u (%.1f s)", o.buildBefore, o.buildAfter, o.seconds);
  else
    snprintf(text, sizeof(text), "%s (%.1f s): %s", o.error == aErrCancel ? "INTERRUPTED" : "FAILED", o.seconds,
             o.errorText.c_str());
  return text;
}

}  // namespace

std::string StationLog::Serial(uint32_t serialNumber) {
  char text[9];
  snprintf(text, sizeof(text), "%08X", serialNumber);
  return text;
}

// The same clock and form as the store's history, so a station's log and -I line up.
std::string StationLog::UtcNow() { return Log::UtcStamp(); }

std::string StationLog::Where(const linkSpec& spec) {
  if (spec.type != linkTypeTCPIP) return "USB";
  const uint8_t* ip = reinterpret_cast<const uint8_t*>(&spec.address);  // network byte order
  char text[64];
  snprintf(text, sizeof(text), "TCPIP %u.%u.%u.%u:%u", ip[0], ip[1], ip[2], ip[3], spec.port);
  return text;
}

void StationLog::emit(Json event, const std::string& plain, uint32_t serialNumber) {
  const std::string time = UtcNow();
  if (!json_) {
    // A module's line starts with its serial number, as all its lines do: grep finds its story.
    const std::string lead = serialNumber != 0 ? Serial(serialNumber) + ": " : std::string();
    console_.notice(0, (lead + time + " " + plain).c_str());
    return;
  }
  Json line = {{"time", time}};
  line.update(event);
  const std::string text = line.dump(-1, ' ', false, Json::error_handler_t::replace);
  std::lock_guard<std::mutex> hold(lock_);
  fprintf(out_, "%s\n", text.c_str());
  fflush(out_);
}

void StationLog::Watching(const std::vector<std::string>& transports, const std::vector<std::string>& accepted) {
  Json event = {{"event", "watching"}, {"transports", transports}, {"accept", accepted}};
  emit(event, "watching " + Words(transports) + " for " + (accepted.empty() ? "every module" : Words(accepted)) +
                  "; Ctrl-C or SIGTERM ends");
}

void StationLog::Appeared(const linkSpec& spec) {
  const std::string where = Where(spec);
  Json event = {{"event", "appeared"}, {"serial", StationLog::Serial(spec.serialNumber)}, {"where", where},
                {"model", aDefs_GetModelName(spec.model)}};
  emit(event, "appeared (" + where + ", " + aDefs_GetModelName(spec.model) + ")", spec.serialNumber);
}

void StationLog::Started(uint32_t serialNumber, uint32_t buildBefore, uint32_t buildWanted) {
  Json event = {{"event", "started"}, {"serial", StationLog::Serial(serialNumber)}, {"build_before", buildBefore},
                {"build_wanted", buildWanted}};
  const std::string wanted = buildWanted != 0 ? std::to_string(buildWanted) : "the file's";
  emit(event, "update started, build " + std::to_string(buildBefore) + " -> " + wanted, serialNumber);
}

void StationLog::Result(const ModuleOutcome& outcome) {
  Json event = {{"event", "result"}};
  event.update(JsonOutput::Result(outcome));
  emit(event, ResultText(outcome), outcome.serialNumber);
}

void StationLog::Left(uint32_t serialNumber) {
  emit(Json{{"event", "left"}, {"serial", StationLog::Serial(serialNumber)}}, "left", serialNumber);
}

void StationLog::Stopped(const std::vector<ModuleOutcome>& modules, unsigned handled, int exitCode) {
  Json results = Json::array();
  for (const ModuleOutcome& outcome : modules) results.push_back(JsonOutput::Result(outcome));
  Json event = {{"event", "stopped"}, {"arrivals", handled}, {"exit_code", exitCode}, {"modules", results}};
  emit(event, "stopped after " + std::to_string(handled) + " arrivals of " + std::to_string(modules.size()) +
                  " modules");
}
