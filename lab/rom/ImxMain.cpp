// updater-lab imx: the lab i.MX RT1050 boot ROM behind a pseudo-terminal and
// the emulated USB HID device; updater-lab imx-loader: the lab recovery
// loader it starts.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "rom/ImxChip.h"
#include "rom/ImxUartPort.h"
#include "LabCommands.h"
#include "LabConfig.h"
#include "LabStopSignals.h"
#include "usb/UsbHost.h"

namespace {

const char* const kUsage =
    "usage: updater-lab imx [options]\n"
    "\n"
    "An NXP i.MX RT1050 boot ROM in serial download mode, behind a pseudo-terminal\n"
    "(UART framing) and the emulated USB HID device 1FC9:0130 (umockdev). Prints\n"
    "\"uart PTY\", \"hid NODE\", \"umockdev-dir DIR\", then \"ready\"; SIGINT or SIGTERM\n"
    "stops it. A jump to a lab recovery loader (updater-lab imx-loader) in RAM makes a\n"
    "lab module join the emulated bus; after a firmware upgrade and reboot through it\n"
    "the module comes back under its own serial number with the new build.\n"
    "\n"
    "  --transport uart|hid|both  where the ROM listens (default both)\n"
    "  --link PATH          also make PATH a symbolic link to the pty\n"
    "  --id W0:W1:W2:W3     the chip identity, four hex words; W0 and W1 are the fuse\n"
    "                       words at 0x401F4410 and 0x401F4420\n"
    "  --module-serial XXXXXXXX  serial number of the module's firmware when the\n"
    "                       image names none (default 0000C0DE)\n"
    "  --ram-out ADDR:LEN:FILE   write that RAM range to FILE when stopped\n"
    "  --account FILE       write the commands received, one a line, when stopped\n"
    "  --verbose            the bus's events on standard error\n"
    "  --pace               model the UART line: every byte in either direction takes\n"
    "                       10 bit times at the rate the host set on the pty\n"
    "fault knobs:\n"
    "  --status-from N      leave the first N-1 status requests unanswered\n"
    "  --status-never       never answer a status request\n"
    "  --chatter            send a security word while a write-file's data still comes\n"
    "  --no-completion      end a write-file without the completion word\n"
    "  --completion WORD    end a write-file with WORD instead of 0x88888888\n"
    "  --hide-loader        a started loader never appears on USB\n";

const char* const kLoaderUsage =
    "usage: updater-lab imx-loader --out FILE [options]\n"
    "\n"
    "Writes a lab i.MX recovery loader: OFFSET filler bytes, then the loader's header\n"
    "and SIZE body bytes. Packed with birdpack --loader FILE@ADDR, it is started by a\n"
    "jump to ADDR + OFFSET (ADDR 0x20000000 and the default offset give the default\n"
    "start address 0x20000400).\n"
    "\n"
    "  --serial XXXXXXXX    serial number it announces on USB (default DEADDEAD)\n"
    "  --id W0:W1:W2:W3     identifier words it answers (default: the chip's)\n"
    "  --model N            model code (default 17)\n"
    "  --build N            its build number (default 1)\n"
    "  --offset N           filler bytes before the header (default 0x400)\n"
    "  --size N             body bytes after the header (default 1024)\n";

struct Arguments {
  lab::ImxChipOptions chip;
  bool uart = true, hid = true, verbose = false;
  lab::ImxUartOptions line;
  std::string link, account, ramOut;
  uint32_t ramAddress = 0, ramLength = 0;
};

bool sNumber(const std::string& text, uint32_t& out, int base = 0) {
  uint64_t value = 0;
  if (!lab::ParseNumber(text, base, 0xFFFFFFFFu, value))
    return false;
  out = static_cast<uint32_t>(value);
  return true;
}

bool sRamOut(const std::string& value, Arguments& args) {
  size_t first = value.find(':');
  size_t second = first == std::string::npos ? first : value.find(':', first + 1);
  if (second == std::string::npos)
    return false;
  args.ramOut = value.substr(second + 1);
  return sNumber(value.substr(0, first), args.ramAddress) &&
         sNumber(value.substr(first + 1, second - first - 1), args.ramLength) && !args.ramOut.empty();
}

// Returns -1 to go on, else the exit code.
int sParse(int argc, char** argv, Arguments& args) {
  lab::ImxRomOptions& rom = args.chip.rom;
  for (int i = 1; i < argc; i++) {
    std::string opt = argv[i];
    if (opt == "--help" || opt == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    bool flag = true;
    if (opt == "--status-never")
      rom.answerStatusFrom = 0;
    else if (opt == "--chatter")
      rom.chatter = true;
    else if (opt == "--no-completion")
      rom.noCompletion = true;
    else if (opt == "--hide-loader")
      rom.hideLoader = true;
    else if (opt == "--verbose")
      args.verbose = true;
    else if (opt == "--pace")
      args.line.pace = true;
    else
      flag = false;
    if (flag)
      continue;
    if (i + 1 >= argc) {
      std::fprintf(stderr, "updater-lab imx: '%s' needs a value (or is unknown)\n%s", opt.c_str(), kUsage);
      return 2;
    }
    std::string value = argv[++i];
    bool ok = true;
    if (opt == "--transport") {
      ok = value == "uart" || value == "hid" || value == "both";
      args.uart = value != "hid";
      args.hid = value != "uart";
    } else if (opt == "--link") {
      args.link = value;
    } else if (opt == "--id") {
      ok = lab::ParseWords(value, rom.identity);
    } else if (opt == "--module-serial") {
      ok = sNumber(value, args.chip.moduleSerial, 16) && args.chip.moduleSerial != 0;
    } else if (opt == "--ram-out") {
      ok = sRamOut(value, args);
    } else if (opt == "--account") {
      args.account = value;
    } else if (opt == "--status-from") {
      ok = sNumber(value, rom.answerStatusFrom, 10) && rom.answerStatusFrom > 0;
    } else if (opt == "--completion") {
      ok = sNumber(value, rom.completionWord);
    } else {
      std::fprintf(stderr, "updater-lab imx: unknown option %s\n%s", opt.c_str(), kUsage);
      return 2;
    }
    if (!ok) {
      std::fprintf(stderr, "updater-lab imx: bad value for %s: '%s'\n", opt.c_str(), value.c_str());
      return 2;
    }
  }
  return -1;
}

bool sWriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// What the stopped ROM leaves behind; false when a file could not be written.
bool sWriteResults(const Arguments& args, const lab::ImxChip& chip) {
  bool ok = true;
  if (!args.account.empty()) {
    std::string text;
    for (const std::string& line : chip.account())
      text += line + "\n";
    ok = sWriteFile(args.account, text);
  }
  if (!args.ramOut.empty()) {
    std::vector<uint8_t> ram;
    if (!chip.readRam(args.ramAddress, args.ramLength, ram)) {
      std::fprintf(stderr, "updater-lab imx: --ram-out: no RAM at 0x%08X+%u\n", args.ramAddress, args.ramLength);
      return false;
    }
    ok = sWriteFile(args.ramOut, std::string(ram.begin(), ram.end())) && ok;
  }
  if (!ok)
    std::fprintf(stderr, "updater-lab imx: cannot write the results\n");
  return ok;
}

}  // namespace

int LabImxMain(int argc, char** argv) {
  Arguments args;
  int code = sParse(argc, argv, args);
  if (code >= 0)
    return code;
  lab::LabStopSignals stop;
  lab::UsbLabConfig config;
  config.verbose = args.verbose;
  lab::LabUsbHost host(config);
  std::string error;
  if (!host.start(error)) {
    std::fprintf(stderr, "updater-lab imx: %s\n", error.c_str());
    return 1;
  }
  lab::ImxChip chip(args.chip, &host);
  lab::ImxUartPort uart(chip, args.line);
  if (args.uart && !uart.start(args.link, error)) {
    std::fprintf(stderr, "updater-lab imx: %s\n", error.c_str());
    return 1;
  }
  std::string hidraw;
  if (args.hid && (hidraw = host.plugBootRomHid(chip, error)).empty()) {
    std::fprintf(stderr, "updater-lab imx: %s\n", error.c_str());
    return 1;
  }
  if (args.uart)
    std::printf("uart %s\n", uart.path().c_str());
  if (args.hid)
    std::printf("hid %s\n", hidraw.c_str());
  std::printf("umockdev-dir %s\nready\n", host.umockdevDir().c_str());
  std::fflush(stdout);

  stop.wait();
  uart.stop();
  host.stop();
  bool ok = sWriteResults(args, chip);
  std::printf("stopped: %u loader starts, firmware serial %08X\n", chip.loaderStarts(), chip.firmwareSerial());
  std::fflush(stdout);
  return ok ? 0 : 1;
}

int LabImxLoaderMain(int argc, char** argv) {
  lab::ImxLabLoader loader;
  std::string out;
  uint32_t offset = 0x400, size = 1024;
  for (int i = 1; i < argc; i++) {
    std::string opt = argv[i];
    if (opt == "--help" || opt == "-h") {
      std::fputs(kLoaderUsage, stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "updater-lab imx-loader: '%s' needs a value (or is unknown)\n%s", opt.c_str(),
                   kLoaderUsage);
      return 2;
    }
    std::string value = argv[++i];
    bool ok = true;
    if (opt == "--out")
      out = value;
    else if (opt == "--serial")
      ok = sNumber(value, loader.serial, 16) && loader.serial != 0;
    else if (opt == "--id")
      ok = lab::ParseWords(value, loader.identity);
    else if (opt == "--model")
      ok = sNumber(value, loader.model) && loader.model <= 255;
    else if (opt == "--build")
      ok = sNumber(value, loader.build);
    else if (opt == "--offset")
      ok = sNumber(value, offset) && offset <= 0x40000;
    else if (opt == "--size")
      ok = sNumber(value, size) && size <= 0x40000;
    else {
      std::fprintf(stderr, "updater-lab imx-loader: unknown option %s\n%s", opt.c_str(), kLoaderUsage);
      return 2;
    }
    if (!ok) {
      std::fprintf(stderr, "updater-lab imx-loader: bad value for %s: '%s'\n", opt.c_str(), value.c_str());
      return 2;
    }
  }
  if (out.empty()) {
    std::fprintf(stderr, "updater-lab imx-loader: --out is required\n%s", kLoaderUsage);
    return 2;
  }
  std::vector<uint8_t> bytes(offset, 0);
  std::vector<uint8_t> image = loader.encode(size);
  bytes.insert(bytes.end(), image.begin(), image.end());
  if (!sWriteFile(out, std::string(bytes.begin(), bytes.end()))) {
    std::fprintf(stderr, "updater-lab imx-loader: cannot write %s\n", out.c_str());
    return 1;
  }
  return 0;
}
