// updater-lab imx: the lab i.MX RT1050 boot ROM behind a pseudo-terminal and
// the emulated USB HID device; updater-lab imx-loader: the lab recovery
// loader it starts.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "rom/ImxChip.h"
#include "rom/ImxUartPort.h"
#include "Files.h"
#include "LabCommands.h"
#include "Options.h"
#include "LabStopSignals.h"
#include "usb/UsbHost.h"

namespace {

using lab::Custom;
using lab::Flag;
using lab::Heading;
using lab::Number;
using lab::Option;
using lab::Text;
using lab::Words;

const char* const kIntro =
    "usage: updater-lab imx [options]\n"
    "\n"
    "An NXP i.MX RT1050 boot ROM in serial download mode, behind a pseudo-terminal\n"
    "(UART framing) and the emulated USB HID device 1FC9:0130 (umockdev). Prints\n"
    "\"uart PTY\", \"hid NODE\", \"umockdev-dir DIR\", then \"ready\"; SIGINT or SIGTERM\n"
    "stops it. A jump to a lab recovery loader (updater-lab imx-loader) in RAM makes a\n"
    "lab module join the emulated bus; after a firmware upgrade and reboot through it\n"
    "the module comes back under its own serial number with the new build.\n"
    "\n";

const char* const kLoaderIntro =
    "usage: updater-lab imx-loader --out FILE [options]\n"
    "\n"
    "Writes a lab i.MX recovery loader: OFFSET filler bytes, then the loader's header\n"
    "and SIZE body bytes. Packed with birdpack --loader FILE@ADDR, it is started by a\n"
    "jump to ADDR + OFFSET (ADDR 0x20000000 and the default offset give the default\n"
    "start address 0x20000400).\n"
    "\n";

struct Arguments {
  lab::ImxChipOptions chip;
  bool uart = true, hid = true, verbose = false;
  lab::ImxUartOptions line;
  std::string link, account, ramOut;
  uint32_t ramAddress = 0, ramLength = 0;
};

// "ADDR:LEN:FILE".
bool sRamOut(const std::string& value, Arguments& args) {
  size_t first = value.find(':');
  size_t second = first == std::string::npos ? first : value.find(':', first + 1);
  if (second == std::string::npos)
    return false;
  args.ramOut = value.substr(second + 1);
  return lab::ParseNumber(value.substr(0, first), 0, args.ramAddress) &&
         lab::ParseNumber(value.substr(first + 1, second - first - 1), 0, args.ramLength) && !args.ramOut.empty();
}

// "N:MS".
bool sLateStatus(const std::string& value, lab::ImxUartOptions& line) {
  size_t colon = value.find(':');
  uint32_t n = 0, ms = 0;
  if (colon == std::string::npos || !lab::ParseNumber(value.substr(0, colon), 10, n) || n == 0 ||
      !lab::ParseNumber(value.substr(colon + 1), 10, ms))
    return false;
  line.lateStatus = n;
  line.lateMs = ms;
  return true;
}

bool sTransport(const std::string& value, Arguments& args) {
  args.uart = value != "hid";
  args.hid = value != "uart";
  return value == "uart" || value == "hid" || value == "both";
}

std::vector<Option> sTable(Arguments& a) {
  lab::ImxRomOptions& rom = a.chip.rom;
  auto transport = [&a](const std::string& v, std::string&) { return sTransport(v, a); };
  auto ramOut = [&a](const std::string& v, std::string&) { return sRamOut(v, a); };
  auto statusNever = [&rom] { rom.answerStatusFrom = 0; };
  auto late = [&a](const std::string& v, std::string&) { return sLateStatus(v, a.line); };
  return {
      Custom("--transport", "uart|hid|both", "where the ROM listens (default both)", transport),
      Text("--link", "PATH", "also make PATH a symbolic link to the pty", a.link),
      Words("--id", "W0:W1:W2:W3", "the chip identity, four hex words; W0 and W1 are the fuse\n"
                                   "words at 0x401F4410 and 0x401F4420", rom.identity),
      Number("--module-serial", "XXXXXXXX", "serial number of the module's firmware when the image\n"
                                            "names none (default 0000C0DE)", a.chip.moduleSerial, 16, 1),
      Custom("--ram-out", "ADDR:LEN:FILE", "write that RAM range to FILE when stopped", ramOut),
      Text("--account", "FILE", "write the commands received, one a line, when stopped", a.account),
      Flag("--verbose", "the bus's events on standard error", a.verbose),
      Flag("--pace", "model the UART line: every byte in either direction takes\n"
                     "10 bit times at the rate the host set on the pty", a.line.pace),
      Heading("fault knobs:"),
      Number("--status-from", "N", "leave the first N-1 status requests unanswered", rom.answerStatusFrom, 10, 1),
      Flag("--status-never", "never answer a status request", statusNever),
      Flag("--chatter", "send a security word while a write-file's data still comes", rom.chatter),
      Flag("--no-completion", "end a write-file without the completion word", rom.noCompletion),
      Number("--completion", "WORD", "end a write-file with WORD instead of 0x88888888", rom.completionWord),
      Flag("--hide-loader", "a started loader never appears on USB", rom.hideLoader),
      Flag("--strict", "UART: never drop a partial command; bytes that are not whole\n"
                       "16-byte commands misalign every later command", a.chip.strict),
      Custom("--late-status", "N:MS", "UART: the answer to the N-th status request leaves MS ms\n"
                                      "late; the chip takes nothing meanwhile", late),
  };
}

struct LoaderArguments {
  lab::ImxLabLoader loader;
  std::string out;
  uint32_t offset = 0x400, size = 1024;
};

std::vector<Option> sLoaderTable(LoaderArguments& a) {
  return {
      Text("--out", "FILE", "the file to write (required)", a.out),
      Number("--serial", "XXXXXXXX", "serial number it announces on USB (default DEADDEAD)", a.loader.serial, 16, 1),
      Words("--id", "W0:W1:W2:W3", "identifier words it answers (default: the chip's)", a.loader.identity),
      Number("--model", "N", "model code (default 17)", a.loader.model, 0, 0, 255),
      Number("--build", "N", "its build number (default 1)", a.loader.build),
      Number("--offset", "N", "filler bytes before the header (default 0x400)", a.offset, 0, 0, 0x40000),
      Number("--size", "N", "body bytes after the header (default 1024)", a.size, 0, 0, 0x40000),
  };
}

// What the stopped ROM leaves behind; false when a file could not be written.
bool sWriteResults(const Arguments& args, const lab::ImxChip& chip) {
  bool ok = true;
  if (!args.account.empty()) {
    std::string text;
    for (const std::string& line : chip.account())
      text += line + "\n";
    ok = lab::WriteFile(args.account, text);
  }
  if (!args.ramOut.empty()) {
    std::vector<uint8_t> ram;
    if (!chip.readRam(args.ramAddress, args.ramLength, ram)) {
      std::fprintf(stderr, "updater-lab imx: --ram-out: no RAM at 0x%08X+%u\n", args.ramAddress, args.ramLength);
      return false;
    }
    ok = lab::WriteFile(args.ramOut, std::string(ram.begin(), ram.end())) && ok;
  }
  if (!ok)
    std::fprintf(stderr, "updater-lab imx: cannot write the results\n");
  return ok;
}

}  // namespace

int LabImxMain(int argc, char** argv) {
  Arguments args;
  int code = lab::Options("updater-lab imx", kIntro, sTable(args)).run(argc, argv);
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
  LoaderArguments args;
  lab::Options options("updater-lab imx-loader", kLoaderIntro, sLoaderTable(args));
  int code = options.run(argc, argv);
  if (code >= 0)
    return code;
  if (args.out.empty())
    return options.fail("--out is required", true);
  std::vector<uint8_t> bytes(args.offset, 0);
  std::vector<uint8_t> image = args.loader.encode(args.size);
  bytes.insert(bytes.end(), image.begin(), image.end());
  if (!lab::WriteFile(args.out, std::string(bytes.begin(), bytes.end()))) {
    std::fprintf(stderr, "updater-lab imx-loader: cannot write %s\n", args.out.c_str());
    return 1;
  }
  return 0;
}
