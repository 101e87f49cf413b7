// updater-lab lpc: the lab LPC17xx boot ROM behind a pseudo-terminal.
// The driver owns the pty and the clock: it feeds the ROM the bytes the host
// writes (at the line rate when --pace is given) and writes the ROM's answers
// back, each byte taking 10 bit times at the rate the chip sends at.
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Files.h"
#include "LabCommands.h"
#include "Options.h"
#include "LabStopSignals.h"
#include "rom/LpcRom.h"

namespace {

using lab::Custom;
using lab::Flag;
using lab::Heading;
using lab::Number;
using lab::Option;
using lab::Text;
using lab::Words;

const char* const kIntro =
    "usage: updater-lab lpc [options]\n"
    "\n"
    "An NXP LPC17xx boot ROM in ISP mode (512 KB flash, 64 KB RAM) behind a\n"
    "pseudo-terminal. Prints the pty path, then \"ready\"; SIGINT or SIGTERM stops it\n"
    "(it then writes --flash-out and --account, prints \"stopped\" and exits 0).\n"
    "The ROM keeps its state while hosts open and close the port.\n"
    "\n";

struct Arguments {
  LpcRomOptions rom;
  std::string link, flashIn, flashOut, account;
  bool pace = false;
};

// "CMD[@N]" into the letter and the occurrence (0 when no @N).
bool sParseCommand(const std::string& text, char& command, unsigned& occurrence) {
  size_t at = text.find('@');
  std::string name = text.substr(0, at);
  uint32_t n = 0;
  if (name.size() != 1 || !std::isupper(static_cast<unsigned char>(name[0])))
    return false;
  if (at != std::string::npos && (!lab::ParseNumber(text.substr(at + 1), 10, n) || n == 0))
    return false;
  command = name[0];
  occurrence = n;
  return true;
}

// "N[,N...]": the W checksums answered RESEND.
bool sParseResend(const std::string& value, std::set<unsigned>& blocks) {
  for (size_t start = 0;;) {
    size_t comma = value.find(',', start);
    uint32_t n = 0;
    if (!lab::ParseNumber(value.substr(start, comma - start), 10, n) || n == 0)
      return false;
    blocks.insert(n);
    if (comma == std::string::npos)
      return true;
    start = comma + 1;
  }
}

// "CMD:CODE[@N]".
bool sParseForced(const std::string& value, std::vector<LpcRomOptions::ForcedCode>& forced) {
  size_t colon = value.find(':');
  if (colon == std::string::npos)
    return false;
  size_t at = value.find('@', colon);
  LpcRomOptions::ForcedCode f;
  std::string occurrence = at == std::string::npos ? "" : value.substr(at);
  uint64_t code = 0;
  if (!sParseCommand(value.substr(0, colon) + occurrence, f.command, f.occurrence) ||
      !lab::ParseNumber(value.substr(colon + 1, at == std::string::npos ? at : at - colon - 1), 10, 255, code))
    return false;
  f.code = static_cast<int>(code);
  forced.push_back(f);
  return true;
}

std::vector<Option> sTable(Arguments& a) {
  LpcRomOptions& rom = a.rom;
  auto resend = [&rom](const std::string& v, std::string&) { return sParseResend(v, rom.resendBlocks); };
  auto fail = [&rom](const std::string& v, std::string&) { return sParseForced(v, rom.forced); };
  auto hang = [&rom](const std::string& v, std::string&) {
    return sParseCommand(v, rom.hangCommand, rom.hangOccurrence);
  };
  return {
      Text("--link", "PATH", "also make PATH a symbolic link to the pty", a.link),
      Words("--serial", "W0:W1:W2:W3", "the device serial number (\"N\"), four hex words\n"
                                       "(default 12345678:9ABCDEF0:0F1E2D3C:4B5A6978)", rom.serial),
      Number("--part", "ID", "the part identification (\"J\"), default 0x26013F37 (LPC1768)", rom.partId),
      Text("--flash-in", "FILE", "flash content at start (rest 0xFF); default: arbitrary bytes", a.flashIn),
      Text("--flash-out", "FILE", "write the 512 KB of flash to FILE when stopped", a.flashOut),
      Text("--account", "FILE", "write a JSON account of every command received when stopped", a.account),
      Flag("--pace", "model the line rate: every byte in either direction takes\n"
                     "10 bit times at the rate it is sent at", a.pace),
      Number("--ram-seed", "N", "seed of the arbitrary RAM content after reset", rom.ramSeed),
      Heading("fault knobs:"),
      Custom("--resend", "N[,N...]", "answer RESEND to the N-th checksum of W (counted from 1)", resend),
      Custom("--fail", "CMD:CODE[@N]", "answer return code CODE to command CMD (its N-th use; every\n"
                                       "use without @N) and do nothing; may be repeated", fail),
      Flag("--silent", "never send anything", rom.silent),
      Custom("--hang", "CMD[@N]", "on command CMD (its N-th use, default the first) stop\n"
                                  "answering for good", hang),
      Number("--erase-ms", "N", "E takes N ms before it answers", rom.eraseMs, 10),
      Number("--copy-ms", "N", "C takes N ms before it answers", rom.copyMs, 10),
      Flag("--no-echo", "never echo, whatever \"A\" says", rom.noEcho),
      Number("--corrupt-copy", "N", "the N-th successful C leaves one wrong bit in flash", rom.corruptCopy, 10, 1),
      Flag("--babble", "the line carries an endless stream of bytes, never a line end", rom.babble),
      Flag("--mid-write", "start as a host left the chip when stopped during a write:\n"
                          "synchronised at 115200, echo off, in the data lines of a W", rom.midWrite),
  };
}

unsigned sSpeed(speed_t speed) {
  switch (speed) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    default: return 0;
  }
}

// The rate the host set on its end of the line.
unsigned sHostBaud(int slave) {
  struct termios t;
  if (tcgetattr(slave, &t) != 0)
    return 0;
  return sSpeed(cfgetospeed(&t));
}

class Driver {
public:
  Driver(const Arguments& arguments, int masterFd, int slaveFd)
      : args(arguments), rom(arguments.rom), master(masterFd), slave(slaveFd), start(Clock::now()) {}

  LpcRom& Rom() { return rom; }

  // Until `stopFd` (the stop signals) becomes readable.
  void Run(int stopFd) {
    while (!stopped) {
      double now = Now();
      Feed(now);
      Drain(now);
      Read(now);
      Feed(Now());
      Drain(Now());
      Wait(stopFd);
    }
  }

private:
  using Clock = std::chrono::steady_clock;
  struct InByte {
    uint8_t byte;
    unsigned hostBaud;
    double doneAt;  // the byte has fully arrived at the chip
  };
  struct OutByte {
    uint8_t byte;
    unsigned baud;
    double at;  // the byte has fully left the chip
  };
  static constexpr size_t kFifo = 64;

  double Now() const { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }
  double ByteMs(unsigned baud) const { return (args.pace && baud) ? 10000.0 / baud : 0.0; }

  void Read(double now) {
    if (in.size() >= kFifo)
      return;
    uint8_t buf[kFifo];
    ssize_t n = read(master, buf, kFifo - in.size());
    if (n <= 0)
      return;
    unsigned hostBaud = sHostBaud(slave);
    for (ssize_t i = 0; i < n; i++) {
      rxEnd = std::max(now, rxEnd) + ByteMs(hostBaud);
      in.push_back(InByte{buf[i], hostBaud, rxEnd});
    }
  }

  void Feed(double now) {
    while (!in.empty() && in.front().doneAt <= now && rom.BusyUntilMs() <= now) {
      InByte b = in.front();
      in.pop_front();
      // The chip's own time: when the byte arrived, not when this process woke
      // up to look, so a late wake-up does not delay the chip's answers.
      rom.Receive(b.byte, b.hostBaud, std::max(b.doneAt, rom.BusyUntilMs()));
      std::vector<LpcRom::Output> output = rom.TakeOutput();
      // A babbling line carries nothing else: the answers are lost in it.
      if (args.rom.babble)
        continue;
      for (const LpcRom::Output& chunk : output)
        for (char c : chunk.bytes) {
          txEnd = std::max(chunk.notBeforeMs, txEnd) + ByteMs(chunk.baud);
          out.push_back(OutByte{static_cast<uint8_t>(c), chunk.baud, txEnd});
        }
    }
  }

  void Drain(double now) {
    std::string batch;
    unsigned hostBaud = sHostBaud(slave);
    size_t i = 0;
    for (; i < out.size() && out[i].at <= now; i++) {
      uint8_t b = out[i].byte;
      // Sent at a rate the host's port is not set to: the host reads garbage.
      if (out[i].baud && hostBaud && out[i].baud != hostBaud)
        b = static_cast<uint8_t>((b ^ 0x3C) | 0x80);
      batch += static_cast<char>(b);
    }
    if (batch.empty())
      return;
    ssize_t n = write(master, batch.data(), batch.size());
    if (n > 0)
      out.erase(out.begin(), out.begin() + n);
    blocked = n < static_cast<ssize_t>(batch.size());
  }

  void Wait(int stopFd) {
    double now = Now();
    double next = now + 1000;
    if (!in.empty())
      next = std::min(next, std::max(in.front().doneAt, rom.BusyUntilMs()));
    if (!out.empty() && !blocked)
      next = std::min(next, out.front().at);
    struct pollfd p[2] = {{master, 0, 0}, {stopFd, POLLIN, 0}};
    if (in.size() < kFifo)
      p[0].events |= POLLIN;
    if (blocked)
      p[0].events |= POLLOUT;
    double wait = std::max(0.0, next - now);
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(wait / 1000);
    ts.tv_nsec = static_cast<long>((wait - ts.tv_sec * 1000.0) * 1e6);
    if (ppoll(p, 2, &ts, nullptr) <= 0)
      return;
    if (p[0].revents & POLLOUT)
      blocked = false;
    stopped = (p[1].revents & POLLIN) != 0;
  }

  const Arguments& args;
  LpcRom rom;
  int master, slave;
  Clock::time_point start;
  std::deque<InByte> in;
  std::deque<OutByte> out;
  double rxEnd = 0, txEnd = 0;
  bool blocked = false;
  bool stopped = false;
};

// The babble knob's stream, written without pause by a thread of its own, so
// the host finds bytes waiting at every read: a reader that looks at its
// clock only when the line is idle never does.
class Babbler {
public:
  Babbler(int masterFd, int stopFd) : thread_([masterFd, stopFd] { Run(masterFd, stopFd); }) {}
  ~Babbler() { thread_.join(); }
  Babbler(const Babbler&) = delete;
  Babbler& operator=(const Babbler&) = delete;

private:
  static void Run(int master, int stopFd) {
    const std::string bytes = LpcRom::BabbleBytes(4096);
    size_t at = 0;
    for (;;) {
      struct pollfd p[2] = {{master, POLLOUT, 0}, {stopFd, POLLIN, 0}};
      if (poll(p, 2, 100) < 0 && errno != EINTR)
        return;
      if (p[1].revents & POLLIN)
        return;
      ssize_t n = write(master, bytes.data() + at, bytes.size() - at);
      if (n > 0)
        at = (at + static_cast<size_t>(n)) % bytes.size();
    }
  }
  std::thread thread_;
};

// A raw pseudo-terminal whose slave the lab keeps open itself, so the pty
// outlives every host that opens and closes it, and bytes written before a
// host opens are kept. False (with errno's text printed) on failure.
bool sOpenPty(int& master, int& slave, std::string& path) {
  master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::perror("updater-lab lpc: pseudo-terminal");
    return false;
  }
  path = ptsname(master);
  slave = open(path.c_str(), O_RDWR | O_NOCTTY);
  if (slave < 0) {
    std::perror("updater-lab lpc: open pty");
    return false;
  }
  struct termios t;
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  tcsetattr(slave, TCSANOW, &t);
  tcgetattr(master, &t);
  cfmakeraw(&t);
  tcsetattr(master, TCSANOW, &t);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  return true;
}

bool sLoadFlash(const std::string& path, LpcRom& rom) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "updater-lab lpc: cannot read %s\n", path.c_str());
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  rom.SetFlash(bytes);
  return true;
}

// What the stopped ROM leaves behind; false when a file could not be written.
bool sWriteResults(const Arguments& args, const LpcRom& rom) {
  bool ok = true;
  if (!args.flashOut.empty() && !lab::WriteFile(args.flashOut, std::string(rom.Flash().begin(), rom.Flash().end()))) {
    std::fprintf(stderr, "updater-lab lpc: cannot write %s\n", args.flashOut.c_str());
    ok = false;
  }
  if (!args.account.empty() && !lab::WriteFile(args.account, rom.AccountJson())) {
    std::fprintf(stderr, "updater-lab lpc: cannot write %s\n", args.account.c_str());
    ok = false;
  }
  return ok;
}

}  // namespace

int LabLpcMain(int argc, char** argv) {
  Arguments args;
  int code = lab::Options("updater-lab lpc", kIntro, sTable(args)).run(argc, argv);
  if (code >= 0)
    return code;
  int master = -1, slave = -1;
  std::string path;
  if (!sOpenPty(master, slave, path))
    return 1;
  if (!args.link.empty()) {
    unlink(args.link.c_str());
    if (symlink(path.c_str(), args.link.c_str()) != 0) {
      std::perror("updater-lab lpc: --link");
      return 1;
    }
  }
  Driver driver(args, master, slave);
  if (!args.flashIn.empty() && !sLoadFlash(args.flashIn, driver.Rom()))
    return 1;

  // Byte times are under 100 us: wake up on time.
  prctl(PR_SET_TIMERSLACK, 1UL);
  lab::LabStopSignals stop;
  if (stop.fd() < 0) {
    std::perror("updater-lab lpc: signalfd");
    return 1;
  }
  std::printf("%s\nready\n", path.c_str());
  std::fflush(stdout);
  {
    std::unique_ptr<Babbler> babbler;
    if (args.rom.babble)
      babbler.reset(new Babbler(master, stop.fd()));
    driver.Run(stop.fd());
  }

  int result = sWriteResults(args, driver.Rom()) ? 0 : 1;
  if (!args.link.empty())
    unlink(args.link.c_str());
  std::printf("stopped: %u copies to flash\n", driver.Rom().Copies());
  std::fflush(stdout);
  close(slave);
  close(master);
  return result;
}
