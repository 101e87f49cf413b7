#include "server/UpdateServerRequest.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include "server/HTTPRequest.h"
#include "Log.h"
#include "aNumber.h"

// The one place that names the maker's server.
#define UPDATE_SERVER_HOST "updates.tessoral.com"
const char* const UpdateServerRequest::default_host = UPDATE_SERVER_HOST;
const int UpdateServerRequest::default_port = 80;
const char* const UpdateServerRequest::default_url = "http://" UPDATE_SERVER_HOST "/cgi/u";
const char* const UpdateServerRequest::delimiters = "\n";

namespace {

typedef std::vector<const char*> Lines;

void sSetCause(std::string* cause, const std::string& text) {
  if (cause)
    *cause = text;
}

std::string sHex8(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%08X", value);
  return text;
}

// Splits a 200 reply's body into its non-empty lines (pointers into `body`)
// and checks that the first starts "ok".
bool sLines(const char* logName, char* body, const std::string& request, Lines& lines, std::string* cause) {
  char* save = nullptr;
  for (char* token = strtok_r(body, UpdateServerRequest::delimiters, &save); token;
       token = strtok_r(nullptr, UpdateServerRequest::delimiters, &save))
    lines.push_back(token);
  if (lines.empty() || std::strncmp(lines[0], "ok", 2) != 0) {
    Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", logName, request.c_str());
    sSetCause(cause, "the reply does not begin with \"ok\"");
    return false;
  }
  return true;
}

// Performs the GET and the checks every reply shares (no exception, status
// 200, a first line starting "ok"). On success `lines` points into
// `response`, one entry per non-empty line, the "ok" line first.
bool sRequest(const char* logName, const char* url, const HTTPRequest::Parameters& params, HTTPResponse& response,
              Lines& lines, std::string* cause, const HTTPRequest::Limits& limits = HTTPRequest::QueryLimits) {
  try {
    response = HTTPRequest::GET(url ? url : UpdateServerRequest::default_url, params, limits);
  } catch (const std::exception& e) {
    Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", logName, e.what());
    sSetCause(cause, e.what());
    return false;
  }
  if (response.get_status() != 200) {
    if (!std::strcmp(logName, "ping"))
      Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response.get_status()),
               response.get_response());
    else
      Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", logName, static_cast<int>(response.get_status()),
               response.get_response());
    sSetCause(cause, "HTTP " + std::to_string(response.get_status()));
    return false;
  }
  return sLines(logName, response.get_response(), response.get_request(), lines, cause);
}

const char* sLine(const Lines& lines, size_t index) { return index < lines.size() ? lines[index] : nullptr; }

void sQueryLines(const Lines& lines, std::string& build, std::string& fw) {
  if (const char* line = sLine(lines, 1))
    build = line;
  if (const char* line = sLine(lines, 2))
    fw = std::string(line, std::strcspn(line, "\r\n"));
}

void sBirdLines(const Lines& lines, std::string& bird) {
  bird.clear();
  if (const char* line = sLine(lines, 1))
    bird = line;
}

void sBuildListLines(const Lines& lines, BuildList& builds) {
  const char* logName = "GetBuildList";
  for (size_t i = 1; i < lines.size(); i++) {
    char* line = const_cast<char*>(lines[i]);
    if (std::strlen(line) < 3)
      continue;
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", logName, line);
    char* save = nullptr;
    const char* build = strtok_r(line, ";\r\n", &save);
    if (!build)
      continue;
    const char* version = strtok_r(nullptr, ";\r\n", &save);
    if (!version)
      version = "";
    // emplace keeps the first value when a build is listed twice.
    builds.emplace(build, version);
    Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", logName, build, version);
  }
}

// A reply line as a whole unsigned 32-bit number: hexadecimal, or decimal
// unless it starts "0x" (which a hexadecimal line may have too). Only a line
// ending's carriage return may follow it.
bool sReplyNumber(const char* line, bool hex, uint32_t& value) {
  std::string text(line, std::strcspn(line, "\r"));
  if (line[text.size()] == '\r' && line[text.size() + 1] != '\0')
    return false;
  if (text.compare(0, 2, "0x") == 0) {
    text.erase(0, 2);
    hex = true;
  }
  return aNumber_ParseU32(text.c_str(), hex ? 16 : 10, &value) == aErrNone;
}

bool sRecoveryLines(const Lines& lines, uint32_t& serial, uint32_t& build, std::string* cause) {
  // Absent lines are logged as empty text.
  Log::log(DEBUG_ServerComm, "GetRecoveryInfo [%.20s][%.20s][%.20s]\n", lines[0], sLine(lines, 1) ? lines[1] : "",
           sLine(lines, 2) ? lines[2] : "");
  // A number that does not fit or trails junk is refused, not cut to
  // something that names another module or build.
  uint32_t readSerial = serial, readBuild = build;
  if (sLine(lines, 1) && !sReplyNumber(lines[1], true, readSerial)) {
    sSetCause(cause, std::string("the reply's serial number is not a 32-bit number: ") + lines[1]);
    return false;
  }
  if (sLine(lines, 2) && !sReplyNumber(lines[2], false, readBuild)) {
    sSetCause(cause, std::string("the reply's build is not a 32-bit number: ") + lines[2]);
    return false;
  }
  serial = readSerial;
  build = readBuild;
  return true;
}

}  // namespace

bool UpdateServerRequest::ping(const char* url, std::string* cause) {
  HTTPResponse response("");
  Lines lines;
  return sRequest("ping", url, {{"op", "hi"}, {"rv", "2"}}, response, lines, cause);
}

bool UpdateServerRequest::QueryBuild(uint32_t serial, std::string& build, std::string& fw, const char* url,
                                     std::string* cause) {
  HTTPResponse response("");
  Lines lines;
  if (!sRequest("QueryBuild", url, {{"op", "qu"}, {"sn", sHex8(serial)}}, response, lines, cause))
    return false;
  sQueryLines(lines, build, fw);
  return true;
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const std::string& fw, const std::string& bld, std::string& bird,
                                   const char* url, std::string* cause) {
  HTTPResponse response("");
  Lines lines;
  HTTPRequest::Parameters params = {{"bld", bld},
                                    {"fw", fw},
                                    // No caller asks for an image without its calibration.
                                    {"no_cal", "false"},
                                    {"op", "bird"},
                                    {"sn", sHex8(serial)}};
  if (!sRequest("GetBuild", url, params, response, lines, cause, HTTPRequest::DownloadLimits))
    return false;
  sBirdLines(lines, bird);
  return true;
}

bool UpdateServerRequest::GetBuildList(uint32_t serial, BuildList& builds, const char* url, std::string* cause) {
  builds.clear();
  HTTPResponse response("");
  Lines lines;
  if (!sRequest("GetBuildList", url, {{"op", "builds"}, {"sn", sHex8(serial)}}, response, lines, cause))
    return false;
  sBuildListLines(lines, builds);
  return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const Fingerprint& fingerprint, uint32_t& serial, uint32_t& build,
                                          const char* url, std::string* cause) {
  char fp[64];
  std::snprintf(fp, sizeof(fp), "%08X%%20%08X%%20%08X%%20%08X", fingerprint.word[0], fingerprint.word[1],
                fingerprint.word[2], fingerprint.word[3]);
  HTTPResponse response("");
  Lines lines;
  if (!sRequest("GetRecoveryInfo", url, {{"brief", "true"}, {"fp", fp}, {"op", "fix"}}, response, lines, cause))
    return false;
  return sRecoveryLines(lines, serial, build, cause);
}

bool UpdateServerRequest::ParseQuery(std::string body, std::string& build, std::string& fw) {
  Lines lines;
  if (!sLines("QueryBuild", &body[0], "", lines, nullptr))
    return false;
  sQueryLines(lines, build, fw);
  return true;
}

bool UpdateServerRequest::ParseBird(std::string body, std::string& bird) {
  Lines lines;
  if (!sLines("GetBuild", &body[0], "", lines, nullptr))
    return false;
  sBirdLines(lines, bird);
  return true;
}

bool UpdateServerRequest::ParseBuildList(std::string body, BuildList& builds) {
  builds.clear();
  Lines lines;
  if (!sLines("GetBuildList", &body[0], "", lines, nullptr))
    return false;
  sBuildListLines(lines, builds);
  return true;
}

bool UpdateServerRequest::ParseRecoveryInfo(std::string body, uint32_t& serial, uint32_t& build) {
  Lines lines;
  return sLines("GetRecoveryInfo", &body[0], "", lines, nullptr) && sRecoveryLines(lines, serial, build, nullptr);
}
