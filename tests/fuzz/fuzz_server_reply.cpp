// Any text as a reply of the update server, to every request, and as base64.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

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

  std::vector<uint8_t> decoded;
  if (base64_decode(body.data(), body.size(), decoded)) {
    // What decodes, encoded again, decodes to the same bytes.
    std::string encoded = base64_encode(decoded.data(), decoded.size());
    std::vector<uint8_t> again;
    if (!base64_decode(encoded.data(), encoded.size(), again) || again != decoded)
      abort();
  }
  return 0;
}
