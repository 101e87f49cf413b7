// Any bytes as a BIRD file: loading and every rewrite must stay inside the buffer.
#include <cstddef>
#include <cstdint>

#include "image/BirdFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BirdFile file;
  file.filename = "fuzz.bird";
  if (!file.LoadBytes(data, size))
    return 0;
  file.GetBuild();
  file.GetVersion();
  file.ValidateModel("Holvex");
  file.ValidateSerialNumber(file.GetSerialNumber());
  file.FirmwareBytes();
  file.ReplaceSerialNumber(0x1234ABCD);
  file.ReplaceVectorChecksum();
  static const uint32_t key[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
  file.DecodeFirmwareBlocks(key);
  static const uint8_t pattern[4] = {0x12, 0x34, 0xAB, 0xCD};
  file.ValidateData(pattern, sizeof pattern);
  return 0;
}
