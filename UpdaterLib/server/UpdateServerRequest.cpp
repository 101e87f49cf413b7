#include "server/UpdateServerRequest.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <vector>

#include "server/HTTPRequest.h"
#include "Log.h"

// The one place that names the maker's server.
#define UPDATE_SERVER_HOST "updates.tessoral.com"
const char* const UpdateServerRequest::default_host = UPDATE_SERVER_HOST;
const int UpdateServerRequest::default_port = 80;
const char* const UpdateServerRequest::default_url = "http://" UPDATE_SERVER_HOST "/cgi/u";
const char* const UpdateServerRequest::delimiters = "\n";

namespace {

typedef std::vector<const char*> Lines;

std::string sHex8(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%08X", value);
  return text;
}

// Splits a 200 reply's body into its non-empty lines (pointers into `body`)
// and checks that the first starts "ok".
bool sLines(const char* logName, char* body, const std::string& request, Lines& lines) {
  char* save = nullptr;
  for (char* token = strtok_r(body, UpdateServerRequest::delimiters, &save); token;
       token = strtok_r(nullptr, UpdateServerRequest::delimiters, &save))
    lines.push_back(token);
  if (lines.empty() || std::strncmp(lines[0], "ok", 2) != 0) {
    Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", logName, request.c_str());
    return false;
  }
  return true;
}

// Performs the GET and the checks every reply shares (no exception, status
// 200, a first line starting "ok"). On success `lines` points into
// `response`, one entry per non-empty line, the "ok" line first.
bool sRequest(const char* logName, const char* url, const HTTPRequest::Parameters& params, HTTPResponse& response,
              Lines& lines, const HTTPRequest::Limits& limits = HTTPRequest::QueryLimits) {
  try {
    response = HTTPRequest::GET(url ? url : UpdateServerRequest::default_url, params, limits);
  } catch (const std::exception& e) {
    Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", logName, e.what());
    return false;
  }
  if (response.get_status() != 200) {
    if (!std::strcmp(logName, "ping"))
      Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response.get_status()),
               response.get_response());
    else
      Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", logName, static_cast<int>(response.get_status()),
               response.get_response());
    return false;
  }
  return sLines(logName, response.get_response(), response.get_request(), lines);
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

void sRecoveryLines(const Lines& lines, uint32_t& serial, uint32_t& build) {
  if (const char* line = sLine(lines, 1))
    serial = static_cast<uint32_t>(std::strtoul(line, nullptr, 16));
  if (const char* line = sLine(lines, 2))
    build = static_cast<uint32_t>(std::strtoul(line, nullptr, 0));
  // Absent lines are logged as empty text.
  Log::log(DEBUG_ServerComm, "GetRecoveryInfo [%.20s][%.20s][%.20s]\n", lines[0], sLine(lines, 1) ? lines[1] : "",
           sLine(lines, 2) ? lines[2] : "");
}

}  // namespace

bool UpdateServerRequest::ping(const char* url) {
  HTTPResponse response("");
  Lines lines;
  return sRequest("ping", url, {{"op", "hi"}, {"rv", "2"}}, response, lines);
}

bool UpdateServerRequest::QueryBuild(uint32_t serial, std::string& build, std::string& fw, const char* url) {
  HTTPResponse response("");
  Lines lines;
  if (!sRequest("QueryBuild", url, {{"op", "qu"}, {"sn", sHex8(serial)}}, response, lines))
    return false;
  sQueryLines(lines, build, fw);
  return true;
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const std::string& fw, const std::string& bld, std::string& bird,
                                   const char* url, bool no_cal) {
  HTTPResponse response("");
  Lines lines;
  HTTPRequest::Parameters params = {{"bld", bld},
                                    {"fw", fw},
                                    {"no_cal", no_cal ? "true" : "false"},
                                    {"op", "bird"},
                                    {"sn", sHex8(serial)}};
  if (!sRequest("GetBuild", url, params, response, lines, HTTPRequest::DownloadLimits))
    return false;
  sBirdLines(lines, bird);
  return true;
}

bool UpdateServerRequest::GetBuildList(uint32_t serial, BuildList& builds, const char* url) {
  builds.clear();
  HTTPResponse response("");
  Lines lines;
  if (!sRequest("GetBuildList", url, {{"op", "builds"}, {"sn", sHex8(serial)}}, response, lines))
    return false;
  sBuildListLines(lines, builds);
  return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const Fingerprint& fingerprint, uint32_t& serial, uint32_t& build,
                                          const char* url) {
  char fp[64];
  std::snprintf(fp, sizeof(fp), "%08X%%20%08X%%20%08X%%20%08X", fingerprint.word[0], fingerprint.word[1],
                fingerprint.word[2], fingerprint.word[3]);
  HTTPResponse response("");
  Lines lines;
  if (!sRequest("GetRecoveryInfo", url, {{"brief", "true"}, {"fp", fp}, {"op", "fix"}}, response, lines))
    return false;
  sRecoveryLines(lines, serial, build);
  return true;
}

bool UpdateServerRequest::ParseQuery(std::string body, std::string& build, std::string& fw) {
  Lines lines;
  if (!sLines("QueryBuild", &body[0], "", lines))
    return false;
  sQueryLines(lines, build, fw);
  return true;
}

bool UpdateServerRequest::ParseBird(std::string body, std::string& bird) {
  Lines lines;
  if (!sLines("GetBuild", &body[0], "", lines))
    return false;
  sBirdLines(lines, bird);
  return true;
}

bool UpdateServerRequest::ParseBuildList(std::string body, BuildList& builds) {
  builds.clear();
  Lines lines;
  if (!sLines("GetBuildList", &body[0], "", lines))
    return false;
  sBuildListLines(lines, builds);
  return true;
}

bool UpdateServerRequest::ParseRecoveryInfo(std::string body, uint32_t& serial, uint32_t& build) {
  Lines lines;
  if (!sLines("GetRecoveryInfo", &body[0], "", lines))
    return false;
  sRecoveryLines(lines, serial, build);
  return true;
}
