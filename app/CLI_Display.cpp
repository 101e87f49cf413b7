#include "CLI_Display.h"

#include <sys/ioctl.h>
#include "ConsoleText.h"

#include <cstring>
#include <string>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "ResultLines.h"
#include "aNumber.h"
#include "aTime.h"

uint8_t CLI_Display::spinner_frame = 0;

namespace {
const int kBarWidth = 69;
const int kDefaultColumns = 80;
const char* const kSpinnerFrames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};
// A rate measured over less than this says more about the first piece than the line.
const double kMeasurableSeconds = 0.5;
// Room kept for the bytes, rate and time left, so the bar does not change its
// width with every digit they gain or lose; on a terminal too narrow for that
// and a bar of kMinBar, the bar takes what the text leaves.
const int kDetailRoom = 40;
const int kMinBar = 10;

// 256 -> "256", 12.5 -> "12.5", 0.98 -> "1": one decimal, none when it is 0.
std::string Amount(double value) {
  char text[32];
  const double tenths = static_cast<double>(static_cast<uint64_t>(value * 10 + 0.5)) / 10;
  if (tenths == static_cast<double>(static_cast<uint64_t>(tenths)) || value >= 1000)
    snprintf(text, sizeof(text), "%.0f", value);
  else
    snprintf(text, sizeof(text), "%.1f", value);
  return text;
}

std::string Duration(double seconds) {
  const uint64_t s = static_cast<uint64_t>(seconds + 0.5);
  char text[48];
  if (s >= 3600)
    snprintf(text, sizeof(text), "%llu h %llu min", static_cast<unsigned long long>(s / 3600),
             static_cast<unsigned long long>(s % 3600 / 60));
  else if (s >= 60)
    snprintf(text, sizeof(text), "%llu min %llu s", static_cast<unsigned long long>(s / 60),
             static_cast<unsigned long long>(s % 60));
  else
    snprintf(text, sizeof(text), "%llu s", static_cast<unsigned long long>(s));
  return text;
}
}  // namespace

CLI_Display::CLI_Display() : out_(stdout), err_(stderr) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
}

CLI_Display::CLI_Display(FILE* out, FILE* err) : out_(out), err_(err) {}

bool CLI_Display::out_is_terminal() const { return !closed(out_) && isatty(fileno(out_)) == 1; }

int CLI_Display::Columns(FILE* stream) {
  struct winsize size;
  if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
    return size.ws_col;
  const char* columns = getenv("COLUMNS");
  int value = aNumber_LeadingI32(columns, 10);
  return value > 0 ? value : kDefaultColumns;
}

std::string CLI_Display::TransferText(uint64_t done, uint64_t total, double seconds) {
  const double kib = 1024.0, mib = 1024.0 * 1024.0;
  const bool large = total >= 10 * mib;
  const double unit = large ? mib : kib;
  std::string text = Amount(done / unit) + " of " + Amount(total / unit) + (large ? " MiB" : " KiB");
  if (seconds < kMeasurableSeconds || done == 0)
    return text;
  const double rate = done / seconds;
  text += ", " + Amount(rate >= mib ? rate / mib : rate / kib) + (rate >= mib ? " MiB/s" : " KiB/s");
  if (done < total)
    text += ", " + Duration((total - done) / rate) + " left";
  return text;
}

void CLI_Display::info_message(const char* text) {
  if (aside_) {
    write_line(err_, text);
    return;
  }
  if (quiet_ && !ResultLines::Active())
    return;
  write_line(out_, text);
}

void CLI_Display::error_message(const char* text) { write_line(err_, text); }

bool CLI_Display::closed(FILE* stream) const { return stream == closed_[0] || stream == closed_[1]; }

// A stream whose reader went away (`| head -n 1`) or that cannot take more
// (a full disk) is given up after its first failed write: the work goes on
// and ends with its own result, and the other stream still says what happens.
void CLI_Display::write_line(FILE* stream, const char* text) {
  if (closed(stream))
    return;
  std::string line = EscapeControls(text);
  line += '\n';
  if (fwrite(line.data(), 1, line.size(), stream) == line.size())
    return;
  clearerr(stream);
  closed_[closed_[0] ? 1 : 0] = stream;
}

// Spaces up to the last column but one: a line of the full width would wrap.
void CLI_Display::clear_line() {
  fprintf(out_, "\r%*s\r", std::max(1, Columns(out_) - 1), " ");
  lineOpen_ = false;
}

void CLI_Display::end_open_line() {
  if (!lineOpen_)
    return;
  fputc('\n', out_);
  lineOpen_ = false;
}

void CLI_Display::keep_output_free() { out_ = err_; }

void CLI_Display::display_progress(bool visible) {
  if (visible) {
    startUS_ = aTime_GetMonotonicUS();
    done_ = total_ = 0;
    return;
  }
  report_transfer();
  if (shows_progress())
    clear_line();
}

// -v: what the transfer that just ended moved, and how fast.
void CLI_Display::report_transfer() {
  if (!verbose_ || total_ == 0)
    return;
  const double seconds = static_cast<double>(aTime_GetMonotonicUS() - startUS_) / 1e6;
  if (shows_progress())
    clear_line();
  char of[32] = "";
  if (done_ < total_)
    snprintf(of, sizeof(of), " of %llu", static_cast<unsigned long long>(total_));
  const double rate = seconds > 0 ? static_cast<double>(done_) / seconds / 1024.0 : 0.0;
  fprintf(out_, "Sent %llu%s bytes in %.1f s, %s KiB/s\n", static_cast<unsigned long long>(done_), of, seconds,
          Amount(rate).c_str());
  done_ = total_ = 0;
}

void CLI_Display::update_progress(double fraction, const char* label) { draw_bar(fraction, label, ""); }

void CLI_Display::update_transfer(uint64_t done, uint64_t total, const char* label) {
  if (startUS_ == 0)
    startUS_ = aTime_GetMonotonicUS();
  done_ = done;
  total_ = total;
  if (!shows_progress())
    return;
  const double seconds = static_cast<double>(aTime_GetMonotonicUS() - startUS_) / 1e6;
  const double fraction = total != 0 ? static_cast<double>(done) / static_cast<double>(total) : 0.0;
  draw_bar(fraction, label, " " + TransferText(done, total, seconds));
}

// " (label) [=====>     ] ( 42% ) detail", made to fit the terminal: the bar
// gives way first, and the line never reaches the last column (it would wrap).
void CLI_Display::draw_bar(double fraction, const char* label, const std::string& detail) {
  if (!shows_progress())
    return;
  // !(>= 0) also catches NaN (e.g. 0 of 0 bytes), whose conversion to int is undefined.
  if (!(fraction >= 0))
    fraction = 0;
  fraction = std::min(fraction, 1.0);
  char percent[16];
  snprintf(percent, sizeof(percent), " (%3d%% )", static_cast<int>(100 * fraction));
  const std::string prefix = label ? std::string(" (") + label + ") " : "";
  const int room = Columns(out_) - 1;
  const int around = static_cast<int>(prefix.size() + strlen(percent)) + 2;
  int detailWidth = static_cast<int>(detail.size());
  if (!detail.empty() && room - around - kDetailRoom >= kMinBar)
    detailWidth = std::max(detailWidth, kDetailRoom);
  const int width = std::max(1, std::min(kBarWidth, room - around - detailWidth));
  const int filled = static_cast<int>(width * fraction);
  std::string bar(static_cast<size_t>(filled), '=');
  if (filled < width)
    bar += '>';
  bar.resize(static_cast<size_t>(width), ' ');
  std::string line = prefix + "[" + bar + "]" + percent + detail;
  if (static_cast<int>(line.size()) > room)
    line.resize(static_cast<size_t>(std::max(room, 1)));
  lineOpen_ = true;
  // Padded to the full room, so a longer line before leaves nothing behind.
  fprintf(out_, "\r%-*s", room, line.c_str());
}

void CLI_Display::update_spinner(bool active, const char* label) {
  if (!shows_progress())
    return;
  if (!active) {
    clear_line();
    return;
  }
  const char* frame = kSpinnerFrames[spinner_frame % 8];
  spinner_frame = static_cast<uint8_t>((spinner_frame + 1) % 8);
  lineOpen_ = true;
  if (label)
    fprintf(out_, "\r (%s) %s      \r", label, frame);
  else
    fprintf(out_, "\r %s      \r", frame);
}
