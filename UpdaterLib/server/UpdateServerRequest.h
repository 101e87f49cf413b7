// The five requests of the update server protocol. None of them throws or
// shows anything to the user: failures go to the debug log and come back as false.
#pragma once
#include <cstdint>
#include <string>

#include "download/DownloadResult.h"
#include "recovery/Fingerprint.h"

class UpdateServerRequest {
public:
  // Used when a request is given no server URL (null).
  static const char* const default_url;
  // Its host and port, as the usage text names them.
  static const char* const default_host;
  static const int default_port;
  // Every reply is split into lines at this separator.
  static const char* const delimiters;

  // Each request's last argument, when given, receives why it failed: the
  // transport's error text, "HTTP <status>" or what is wrong with the reply.
  static bool ping(const char* url, std::string* cause = nullptr);
  // build: line 2 (latest build, decimal); fw: line 3 (firmware identifier).
  static bool QueryBuild(uint32_t serial, std::string& build, std::string& fw, const char* url,
                         std::string* cause = nullptr);
  // bird: line 2, the module's BIRD file in base64 (empty when the reply has none).
  static bool GetBuild(uint32_t serial, const std::string& fw, const std::string& bld, std::string& bird,
                       const char* url, std::string* cause = nullptr);
  // builds: build text -> version text; cleared first, so empty after a failure.
  static bool GetBuildList(uint32_t serial, BuildList& builds, const char* url, std::string* cause = nullptr);
  // serial: line 2, hexadecimal; build: line 3, decimal or "0x" hexadecimal.
  // A line that is not a whole 32-bit number fails the request.
  static bool GetRecoveryInfo(const Fingerprint& fingerprint, uint32_t& serial, uint32_t& build, const char* url,
                              std::string* cause = nullptr);

  // The reply checks and readings of the requests above, for a reply body
  // already in hand; false when it is not an "ok" reply.
  static bool ParseQuery(std::string body, std::string& build, std::string& fw);
  static bool ParseBird(std::string body, std::string& bird);
  static bool ParseBuildList(std::string body, BuildList& builds);
  static bool ParseRecoveryInfo(std::string body, uint32_t& serial, uint32_t& build);
};
