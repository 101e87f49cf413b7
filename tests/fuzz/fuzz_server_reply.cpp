// Any text as a reply of the update server, to every request, and as base64.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/UpdateServerRequest.h"
#include "server/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  std::string build, fw, bird;
  UpdateServerRequest::ParseQuery(body, build, fw);
  UpdateServerRequest::ParseBird(body, bird);
  BuildList builds;
  UpdateServerRequest::ParseBuildList(body, builds);
  uint32_t serial = 0, number = 0;
  UpdateServerRequest::ParseRecoveryInfo(body, serial, number);

  size_t length = 0;
  unsigned char* decoded = base64_decode(body.data(), body.size(), &length);
  if (decoded) {
    // What decodes, encoded again, decodes to the same bytes.
    size_t encodedLength = 0, againLength = 0;
    char* encoded = base64_encode(decoded, length, &encodedLength);
    unsigned char* again = encoded ? base64_decode(encoded, encodedLength, &againLength) : nullptr;
    if (!again || againLength != length || (length && memcmp(again, decoded, length) != 0))
      abort();
    free(again);
    free(encoded);
    free(decoded);
  }
  return 0;
}
