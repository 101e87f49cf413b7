// Any line from an NXP boot ROM: return codes, error texts and uudecoded data
// lines; what decodes, encoded again, decodes to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "recovery/lpc/NXPSerialClass.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  int code = 0;
  NXPSerialClass::ParseReturnCode(line.c_str(), &code);
  NXPSerialClass::GetErrorText(line.c_str());
  NXPSerialClass::CodeText(code);

  uint8_t decoded[NXPSerialClass::MAX_BYTES_PER_LINE];
  size_t count = NXPSerialClass::uudecode(decoded, sizeof decoded, line.c_str());
  if (count > sizeof decoded)
    abort();
  if (count > 0) {
    char encoded[64];
    if (NXPSerialClass::uuencode(encoded, decoded, count) != count)
      abort();
    uint8_t again[NXPSerialClass::MAX_BYTES_PER_LINE];
    if (NXPSerialClass::uudecode(again, sizeof again, encoded) != count || memcmp(again, decoded, count) != 0)
      abort();
  }

  // Any address and length: a copy window never leaves the flash.
  if (size >= 8) {
    uint32_t address, remaining, base = 0, copyLength = 0, take = 0;
    memcpy(&address, data, 4);
    memcpy(&remaining, data + 4, 4);
    if (NXPSerialClass::PlanPiece(address, remaining, &base, &copyLength, &take) &&
        (uint64_t(base) + copyLength > NXPSerialClass::FLASH_SIZE || take > remaining || take == 0))
      abort();
  }
  return 0;
}
