// The console display on a pseudo-terminal and on a plain file, and the debug log.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "AppTestSupport.h"
#include "CLI_Display.h"
#include "FleetConsole.h"
#include "Log.h"

using apptest::CaptureFile;
using apptest::LogStateGuard;
using apptest::RecordingDisplay;

namespace {

// A raw pseudo-terminal: what the display writes to the slave is read back
// byte for byte from the master.
class Terminal : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    struct termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    SetColumns(80);
    out = fdopen(slave, "w");
    ASSERT_NE(out, nullptr);
    setvbuf(out, nullptr, _IONBF, 0);
  }
  void TearDown() override {
    if (out)
      fclose(out);
    close(master);
  }

  void SetColumns(unsigned short columns) {
    struct winsize size = {24, columns, 0, 0};
    ASSERT_EQ(ioctl(slave, TIOCSWINSZ, &size), 0);
  }

  std::string Read() {
    std::string bytes;
    struct pollfd pfd = {master, POLLIN, 0};
    while (poll(&pfd, 1, 50) > 0) {
      char buffer[512];
      ssize_t n = read(master, buffer, sizeof(buffer));
      if (n <= 0)
        break;
      bytes.append(buffer, static_cast<size_t>(n));
    }
    return bytes;
  }

  int master = -1, slave = -1;
  FILE* out = nullptr;
  CaptureFile err;
};

std::string Repeat(char c, int n) { return std::string(static_cast<size_t>(n), c); }

// A line one short of the 80 columns: the full width would wrap.
const std::string kClear = "\r" + Repeat(' ', 79) + "\r";

}  // namespace

TEST_F(Terminal, ProgressBarFitsTheTerminal) {
  CLI_Display display(out, err.get());
  // 80 columns: the bar keeps its 69 places and the line stops at column 79.
  display.update_progress(0.5, nullptr);
  EXPECT_EQ(Read(), "\r[" + Repeat('=', 34) + ">" + Repeat(' ', 34) + "] ( 50% )");
  display.update_progress(1.0, nullptr);
  EXPECT_EQ(Read(), "\r[" + Repeat('=', 69) + "] (100% )");
  display.update_progress(0.0, nullptr);
  EXPECT_EQ(Read(), "\r[>" + Repeat(' ', 68) + "] (  0% )");
  display.update_progress(0.999, nullptr);
  EXPECT_EQ(Read(), "\r[" + Repeat('=', 68) + ">] ( 99% )");

  // A 10-character label leaves 55 places for the bar.
  display.update_progress(0.5, "0123456789");
  EXPECT_EQ(Read(), "\r (0123456789) [" + Repeat('=', 27) + ">" + Repeat(' ', 27) + "] ( 50% )");

  // Out-of-range fractions stay inside the bar; a label wider than the terminal is cut.
  display.update_progress(std::nan(""), nullptr);
  EXPECT_EQ(Read(), "\r[>" + Repeat(' ', 68) + "] (  0% )");
  display.update_progress(7.0, nullptr);
  EXPECT_EQ(Read(), "\r[" + Repeat('=', 69) + "] (100% )");
  std::string wide(100, 'L');
  display.update_progress(0.5, wide.c_str());
  EXPECT_EQ(Read(), "\r (" + wide.substr(0, 77));

  display.display_progress(true);
  EXPECT_EQ(Read(), "");
  display.display_progress(false);
  EXPECT_EQ(Read(), kClear);

  // Bytes, rate and time left beside the bar; on 40 columns the bar gives way.
  display.display_progress(true);
  display.update_transfer(12800, 262144, nullptr);
  std::string line = Read();
  EXPECT_EQ(line.size(), 80u) << line;
  // The bar keeps room for the longest text ("..., 1.6 KiB/s, 2 min 31 s left"), so it holds still.
  const std::string start = "\r[=>" + Repeat(' ', 27) + "] (  4% ) 12.5 of 256 KiB ";
  EXPECT_EQ(line.substr(0, start.size()), start);
  SetColumns(40);
  display.display_progress(true);  // a new transfer: no rate measured yet
  display.update_transfer(262144, 262144, nullptr);
  EXPECT_EQ(Read(), "\r[" + Repeat('=', 14) + "] (100% ) 256 of 256 KiB");
  SetColumns(60);
  display.update_transfer(131072, 262144, nullptr);
  EXPECT_EQ(Read(), "\r[" + Repeat('=', 17) + ">" + Repeat(' ', 16) + "] ( 50% ) 128 of 256 KiB");
  // Once done, no bar of 100 % is left behind.
  display.display_progress(false);
  EXPECT_EQ(Read(), "\r" + Repeat(' ', 59) + "\r");
  EXPECT_EQ(err.Contents(), "");
}

TEST(Display, TransferTextSaysBytesRateAndTimeLeft) {
  EXPECT_EQ(CLI_Display::TransferText(12800, 262144, 7.75), "12.5 of 256 KiB, 1.6 KiB/s, 2 min 31 s left");
  // Too soon to measure a rate: the amounts alone.
  EXPECT_EQ(CLI_Display::TransferText(1024, 262144, 0.1), "1 of 256 KiB");
  EXPECT_EQ(CLI_Display::TransferText(262144, 262144, 2.0), "256 of 256 KiB, 128 KiB/s");
  EXPECT_EQ(CLI_Display::TransferText(30u << 20, 64u << 20, 10.0), "30 of 64 MiB, 3 MiB/s, 11 s left");
  EXPECT_EQ(CLI_Display::TransferText(1000, 4000000, 1.0), "1 of 3906 KiB, 1 KiB/s, 1 h 6 min left");
}

TEST_F(Terminal, SpinnerCyclesThroughEightFramesEvenWhenMuted) {
  CLI_Display display(out, err.get());
  display.mute_messages(true);
  display.message(UpdaterDisplayInterface::Error, "hidden");
  // The frame counter is shared by all displays; turn until the widest frame.
  std::string last;
  for (int i = 0; i < 8 && last.find(".....") == std::string::npos; i++) {
    display.update_spinner(true, nullptr);
    last = Read();
  }
  ASSERT_EQ(last, "\r .....      \r");
  const char* after[] = {"....", "...", "..", ".", "..", "...", "....", "....."};
  for (const char* frame : after) {
    display.update_spinner(true, nullptr);
    EXPECT_EQ(Read(), std::string("\r ") + frame + "      \r");
  }
  display.update_spinner(true, "Downloading");
  EXPECT_EQ(Read(), "\r (Downloading) ....      \r");
  display.update_spinner(false, "Downloading");
  EXPECT_EQ(Read(), kClear);
  EXPECT_EQ(err.Contents(), "");
}

TEST_F(Terminal, AnInterruptedRunEndsOnlyALineLeftOpen) {
  CLI_Display display(out, err.get());
  display.end_open_line();
  EXPECT_EQ(Read(), "");
  display.update_progress(0.5, nullptr);
  Read();
  display.end_open_line();
  EXPECT_EQ(Read(), "\n");
  display.end_open_line();  // once ended, nothing more
  EXPECT_EQ(Read(), "");
  display.update_spinner(true, "Verifying Update");
  display.update_spinner(false, "Verifying Update");
  Read();
  display.end_open_line();  // the spinner cleared its own line
  EXPECT_EQ(Read(), "");
}

TEST(Display, FileOutputGetsMessagesButNoProgress) {
  CaptureFile out, err;
  CLI_Display display(out.get(), err.get());
  display.update_progress(0.5, nullptr);
  display.display_progress(false);
  display.update_spinner(true, "x");
  display.update_spinner(false, "x");
  display.message(UpdaterDisplayInterface::Info, "info %d", 1);
  display.message(UpdaterDisplayInterface::Error, "error %s", "two");
  display.message(7, "any other level is info");
  EXPECT_EQ(out.Contents(), "info 1\nany other level is info\n");
  EXPECT_EQ(err.Contents(), "error two\n");
}

// Controls are shown, never obeyed; text in any language passes as it is.
TEST(Display, ControlCharactersAreEscapedAndUtf8TextIsKept) {
  CaptureFile out, err;
  CLI_Display display(out.get(), err.get());
  display.message(UpdaterDisplayInterface::Info, "%s", "a\x1b[2Jb\r\x7f\tc\nd");
  display.message(UpdaterDisplayInterface::Error, "%s", "Gr\xc3\xbc\xc3\x9f" "e \xe2\x80\x94 \xc2\x9b" "1m \x9b" "2m \xc3");
  EXPECT_EQ(out.Contents(), "a\\x1b[2Jb\\x0d\\x7f\tc\nd\n");
  EXPECT_EQ(err.Contents(), "Gr\xc3\xbc\xc3\x9f" "e \xe2\x80\x94 \\xc2\\x9b1m \\x9b2m \\xc3\n");
}

TEST(Display, MessagesAreCutTo2047CharactersAndMutingSilencesThem) {
  RecordingDisplay display;
  std::string huge(5000, 'm');
  display.message(UpdaterDisplayInterface::Info, "%s", huge.c_str());
  ASSERT_EQ(display.messages.size(), 1u);
  EXPECT_EQ(display.messages[0].second, huge.substr(0, 2047));
  display.mute_messages(true);
  display.message(UpdaterDisplayInterface::Error, "muted");
  display.update_spinner(true, nullptr);
  EXPECT_EQ(display.messages.size(), 1u);
  EXPECT_EQ(display.spinnerCalls, 1);
  display.mute_messages(false);
  display.message(UpdaterDisplayInterface::Error, "back");
  EXPECT_EQ(display.messages.size(), 2u);
}

TEST(Log, PackagesFilterWhatIsWritten) {
  LogStateGuard guard;
  CaptureFile file;
  Log::SetOutput(file.get());
  Log::package_bitmask = 0;
  Log::log(0, "always %d;", 0);
  Log::log(0x400, "firm;");
  Log::ActivatePackage(0x00000410);
  Log::log(0x400, "firm %s;", "on");
  Log::log(0x401, "shares a bit;");
  Log::log(0x001, "updater;");
  Log::DeactivatePackage(0x400);
  Log::log(0x400, "firm off;");
  Log::log(0x010, "legacy network;");
  EXPECT_EQ(Log::package_bitmask, 0x10u);
  EXPECT_EQ(file.Contents(), "always 0;firm on;shares a bit;legacy network;");

  std::string huge(3000, 'q');
  Log::log(0, "%s", huge.c_str());
  EXPECT_EQ(file.Contents().size(), std::string("always 0;firm on;shares a bit;legacy network;").size() + 2047);

  Log::SetOutput(nullptr);
  Log::log(0, "nowhere");  // no stream: nothing happens
}

// A log kept in a file stamps every line, also one a call finishes or several lines in one
// call, with the UTC time and the module the thread works for; while several modules run,
// a module thread's unpackaged lines stay off a log that is the user's stream.
TEST(Log, FileLinesCarryTimeAndModuleAndModuleThreadsStayOffTheUsersStream) {
  LogStateGuard guard;
  CaptureFile file;
  Log::SetOutput(file.get());
  Log::SetStamped(true);
  Log::log(0, "outside\npart ");
  {
    Log::ModuleScope scope(0x0000F1E1);
    Log::log(0, "of a line\n\nNETWORK: two\n");
    std::thread([] { Log::log(0, "another thread\n"); }).join();
  }
  Log::log(0, "after\n");
  Log::SetStamped(false);
  const std::string text = file.Contents();
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(text.substr(at, end - at));
  const std::vector<std::string> rests = {"-------- outside", "-------- part of a line", "",
                                          "0000F1E1 NETWORK: two", "-------- another thread", "-------- after"};
  ASSERT_EQ(lines.size(), rests.size()) << text;
  for (size_t i = 0; i < lines.size(); i++) {
    if (rests[i].empty()) {
      EXPECT_EQ(lines[i], "");
      continue;
    }
    ASSERT_GT(lines[i].size(), 25u) << lines[i];
    EXPECT_EQ(lines[i].substr(25), rests[i]);
    EXPECT_EQ(lines[i].substr(0, 2), "20") << lines[i];
    EXPECT_EQ(lines[i].substr(10, 1), "T") << lines[i];
    EXPECT_EQ(lines[i].substr(23, 2), "Z ") << lines[i];
  }

  CaptureFile user;
  Log::SetOutput(user.get());
  Log::SetModuleThreadsQuiet(true);
  {
    Log::ModuleScope scope(0x0000F1E2);
    Log::log(0, "NETWORK: Failed to transfer firmware\n");
  }
  Log::log(0, "the run's own\n");
  Log::SetModuleThreadsQuiet(false);
  EXPECT_EQ(user.Contents(), "the run's own\n");
}

// -q keeps a fleet's progress block off the terminal; without it the block is drawn.
TEST_F(Terminal, QuietFleetDrawsNoProgressBlock) {
  RecordingDisplay display;
  {
    FleetConsole quiet(display, out, true);
    quiet.module_progress(0x0000BEEF, 0.5, "Transferring");
  }
  EXPECT_EQ(Read(), "");
  FleetConsole loud(display, out);
  loud.module_progress(0x0000BEEF, 0.5, "Transferring");
  EXPECT_NE(Read().find("0000BEEF"), std::string::npos);
}
