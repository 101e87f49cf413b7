// hid_probe: a hidapi client for the tests of the emulated HID device. Opens
// the device VID:PID (hex), writes each argument as one report (hex bytes,
// report ID first), then reads reports until one read times out and prints
// each on a line in hex. Exit code 0, or 2 when the device cannot be opened.
#include <hidapi/hidapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: hid_probe VID PID [REPORT-HEX]... \n");
    return 1;
  }
  hid_init();
  unsigned short vid = static_cast<unsigned short>(std::strtoul(argv[1], nullptr, 16));
  unsigned short pid = static_cast<unsigned short>(std::strtoul(argv[2], nullptr, 16));
  hid_device* device = hid_open(vid, pid, nullptr);
  if (!device) {
    std::fprintf(stderr, "hid_probe: cannot open %04x:%04x\n", vid, pid);
    hid_exit();
    return 2;
  }
  for (int i = 3; i < argc; ++i) {
    std::string hex = argv[i];
    std::vector<unsigned char> report;
    for (size_t at = 0; at + 1 < hex.size(); at += 2)
      report.push_back(static_cast<unsigned char>(std::strtoul(hex.substr(at, 2).c_str(), nullptr, 16)));
    std::printf("wrote %d\n", hid_write(device, report.data(), report.size()));
  }
  unsigned char buffer[65];
  int n;
  while ((n = hid_read_timeout(device, buffer, sizeof(buffer), 500)) > 0) {
    for (int i = 0; i < n; ++i)
      std::printf("%02X", buffer[i]);
    std::printf("\n");
  }
  std::printf("end %d\n", n);
  hid_close(device);
  hid_exit();
  return 0;
}
