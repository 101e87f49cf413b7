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
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LabCommands.h"
#include "LabConfig.h"
#include "LabStopSignals.h"
#include "rom/LpcRom.h"

namespace {

const char* const kUsage =
    "usage: updater-lab lpc [options]\n"
    "\n"
    "An NXP LPC17xx boot ROM in ISP mode (512 KB flash, 64 KB RAM) behind a\n"
    "pseudo-terminal. Prints the pty path, then \"ready\"; SIGINT or SIGTERM stops it\n"
    "(it then writes --flash-out and --account, prints \"stopped\" and exits 0).\n"
    "The ROM keeps its state while hosts open and close the port.\n"
    "\n"
    "  --link PATH          also make PATH a symbolic link to the pty\n"
    "  --serial W0:W1:W2:W3 the device serial number (\"N\"), four hex words\n"
    "                       (default 12345678:9ABCDEF0:0F1E2D3C:4B5A6978)\n"
    "  --part ID            the part identification (\"J\"), default 0x26013F37 (LPC1768)\n"
    "  --flash-in FILE      flash content at start (rest 0xFF); default: arbitrary bytes\n"
    "  --flash-out FILE     write the 512 KB of flash to FILE when stopped\n"
    "  --account FILE       write a JSON account of every command received when stopped\n"
    "  --pace               model the line rate: every byte in either direction takes\n"
    "                       10 bit times at the rate it is sent at\n"
    "  --ram-seed N         seed of the arbitrary RAM content after reset\n"
    "fault knobs:\n"
    "  --resend N[,N...]    answer RESEND to the N-th checksum of W (counted from 1)\n"
    "  --fail CMD:CODE[@N]  answer return code CODE to command CMD (its N-th use; every\n"
    "                       use without @N) and do nothing; may be repeated\n"
    "  --silent             never send anything\n"
    "  --hang CMD[@N]       on command CMD (its N-th use, default the first) stop\n"
    "                       answering for good\n"
    "  --erase-ms N         E takes N ms before it answers\n"
    "  --copy-ms N          C takes N ms before it answers\n"
    "  --no-echo            never echo, whatever \"A\" says\n"
    "  --corrupt-copy N     the N-th successful C leaves one wrong bit in flash\n"
    "  --babble             the line carries an endless stream of bytes, never a line end\n"
    "  --mid-write          start as a host left the chip when stopped during a write:\n"
    "                       synchronised at 115200, echo off, in the data lines of a W\n";

struct Arguments {
  LpcRomOptions rom;
  std::string link, flashIn, flashOut, account;
  bool pace = false;
};

bool sParseUnsigned(const std::string& text, unsigned long& value, int base = 0) {
  uint64_t parsed = 0;
  if (!lab::ParseNumber(text, base, 0xFFFFFFFFu, parsed))
    return false;
  value = static_cast<unsigned long>(parsed);
  return true;
}

// "CMD[@N]" into the letter and the occurrence.
bool sParseCommand(const std::string& text, char& command, unsigned& occurrence) {
  size_t at = text.find('@');
  std::string name = text.substr(0, at);
  unsigned long n = 0;
  if (name.size() != 1 || !std::isupper(static_cast<unsigned char>(name[0])))
    return false;
  if (at != std::string::npos && (!sParseUnsigned(text.substr(at + 1), n, 10) || n == 0))
    return false;
  command = name[0];
  occurrence = static_cast<unsigned>(n);
  return true;
}

// Returns -1 to go on, else the exit code.
int sParse(int argc, char** argv, Arguments& args) {
  for (int i = 1; i < argc; i++) {
    std::string opt = argv[i];
    if (opt == "--help" || opt == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (opt == "--pace") {
      args.pace = true;
      continue;
    }
    if (opt == "--silent") {
      args.rom.silent = true;
      continue;
    }
    if (opt == "--no-echo") {
      args.rom.noEcho = true;
      continue;
    }
    if (opt == "--babble") {
      args.rom.babble = true;
      continue;
    }
    if (opt == "--mid-write") {
      args.rom.midWrite = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "updater-lab lpc: '%s' needs a value (or is unknown)\n%s", opt.c_str(), kUsage);
      return 2;
    }
    std::string value = argv[++i];
    unsigned long n = 0;
    bool ok = true;
    if (opt == "--link") {
      args.link = value;
    } else if (opt == "--flash-in") {
      args.flashIn = value;
    } else if (opt == "--flash-out") {
      args.flashOut = value;
    } else if (opt == "--account") {
      args.account = value;
    } else if (opt == "--serial") {
      ok = lab::ParseWords(value, args.rom.serial);
    } else if (opt == "--part") {
      ok = sParseUnsigned(value, n);
      args.rom.partId = static_cast<uint32_t>(n);
    } else if (opt == "--ram-seed") {
      ok = sParseUnsigned(value, n);
      args.rom.ramSeed = static_cast<uint32_t>(n);
    } else if (opt == "--resend") {
      size_t start = 0;
      while (ok && start <= value.size()) {
        size_t comma = value.find(',', start);
        ok = sParseUnsigned(value.substr(start, comma - start), n, 10) && n > 0;
        args.rom.resendBlocks.insert(static_cast<unsigned>(n));
        if (comma == std::string::npos)
          break;
        start = comma + 1;
      }
    } else if (opt == "--fail") {
      LpcRomOptions::ForcedCode f;
      size_t colon = value.find(':');
      size_t at = value.find('@');
      std::string cmd = value.substr(0, colon) + (at == std::string::npos ? "" : value.substr(at));
      ok = colon != std::string::npos && sParseCommand(cmd, f.command, f.occurrence) &&
           sParseUnsigned(value.substr(colon + 1, at == std::string::npos ? std::string::npos : at - colon - 1), n,
                          10) &&
           n <= 255;
      f.code = static_cast<int>(n);
      args.rom.forced.push_back(f);
    } else if (opt == "--hang") {
      ok = sParseCommand(value, args.rom.hangCommand, args.rom.hangOccurrence);
    } else if (opt == "--erase-ms") {
      ok = sParseUnsigned(value, n, 10);
      args.rom.eraseMs = static_cast<unsigned>(n);
    } else if (opt == "--copy-ms") {
      ok = sParseUnsigned(value, n, 10);
      args.rom.copyMs = static_cast<unsigned>(n);
    } else if (opt == "--corrupt-copy") {
      ok = sParseUnsigned(value, n, 10) && n > 0;
      args.rom.corruptCopy = static_cast<unsigned>(n);
    } else {
      std::fprintf(stderr, "updater-lab lpc: unknown option %s\n%s", opt.c_str(), kUsage);
      return 2;
    }
    if (!ok) {
      std::fprintf(stderr, "updater-lab lpc: bad value for %s: '%s'\n", opt.c_str(), value.c_str());
      return 2;
    }
  }
  return -1;
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

bool sWriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
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

}  // namespace

int LabLpcMain(int argc, char** argv) {
  Arguments args;
  int code = sParse(argc, argv, args);
  if (code >= 0)
    return code;

  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::perror("updater-lab lpc: pseudo-terminal");
    return 1;
  }
  std::string path = ptsname(master);
  // The lab keeps the slave open itself, so the pty outlives every host that
  // opens and closes it, and bytes written before a host opens are kept.
  int slave = open(path.c_str(), O_RDWR | O_NOCTTY);
  if (slave < 0) {
    std::perror("updater-lab lpc: open pty");
    return 1;
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

  if (!args.link.empty()) {
    unlink(args.link.c_str());
    if (symlink(path.c_str(), args.link.c_str()) != 0) {
      std::perror("updater-lab lpc: --link");
      return 1;
    }
  }

  Driver driver(args, master, slave);
  if (!args.flashIn.empty()) {
    std::ifstream in(args.flashIn, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "updater-lab lpc: cannot read %s\n", args.flashIn.c_str());
      return 1;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    driver.Rom().SetFlash(bytes);
  }

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

  int result = 0;
  const LpcRom& rom = driver.Rom();
  if (!args.flashOut.empty() &&
      !sWriteFile(args.flashOut, std::string(rom.Flash().begin(), rom.Flash().end()))) {
    std::fprintf(stderr, "updater-lab lpc: cannot write %s\n", args.flashOut.c_str());
    result = 1;
  }
  if (!args.account.empty() && !sWriteFile(args.account, rom.AccountJson())) {
    std::fprintf(stderr, "updater-lab lpc: cannot write %s\n", args.account.c_str());
    result = 1;
  }
  if (!args.link.empty())
    unlink(args.link.c_str());
  std::printf("stopped: %u copies to flash\n", rom.Copies());
  std::fflush(stdout);
  close(slave);
  close(master);
  return result;
}
