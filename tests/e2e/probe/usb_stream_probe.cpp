// usb_stream_probe: the link core's USB stream on its own, for the tests of the
// emulated bus. Opens the module SERIAL (hex) with aStream_CreateUSB and prints
// the result; with BYTES given, writes them as one block of (hex) bytes and
// then reads COUNT bytes back within a second, printing them in hex.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "aStream.h"
#include "aTime.h"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4) {
    std::fprintf(stderr, "usage: usb_stream_probe SERIAL [BYTES-HEX COUNT]\n");
    return 1;
  }
  aStream* stream = nullptr;
  aErr err = aStream_CreateUSB(static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 16)), &stream);
  std::printf("open %d\n", static_cast<int>(err));
  if (err || argc == 2)
    return 0;
  std::string hex = argv[2];
  std::vector<uint8_t> bytes;
  for (size_t at = 0; at + 1 < hex.size(); at += 2)
    bytes.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(at, 2).c_str(), nullptr, 16)));
  std::printf("write %d\n", static_cast<int>(aStream_Write(stream, bytes.data(), bytes.size())));
  std::vector<uint8_t> back(static_cast<size_t>(std::atoi(argv[3])));
  for (int tries = 0; tries < 100; ++tries) {
    err = aStream_Read(stream, back.data(), back.size());
    if (err != aErrNotReady)
      break;
    aTime_MSSleep(10);
  }
  std::printf("read %d", static_cast<int>(err));
  for (uint8_t b : back)
    std::printf(" %02X", b);
  std::printf("\nclose %d\n", static_cast<int>(aStream_Destroy(&stream)));
  return 0;
}
