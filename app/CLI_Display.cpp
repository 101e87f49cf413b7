#include "CLI_Display.h"

#include "ConsoleText.h"

#include <cstring>
#include <string>
#include <unistd.h>

uint8_t CLI_Display::spinner_frame = 0;

namespace {
const char* const kBar = "=====================================================================";  // 69
const int kBarWidth = 69;
const char* const kSpinnerFrames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};
}  // namespace

CLI_Display::CLI_Display() : out_(stdout), err_(stderr) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
}

CLI_Display::CLI_Display(FILE* out, FILE* err) : out_(out), err_(err) {}

bool CLI_Display::out_is_terminal() const { return !closed(out_) && isatty(fileno(out_)) == 1; }

void CLI_Display::info_message(const char* text) { write_line(out_, text); }

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

void CLI_Display::clear_line() {
  fprintf(out_, "\r%*s\r", 88, " ");
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
  if (!out_is_terminal() || visible)
    return;
  clear_line();
}

void CLI_Display::update_progress(double fraction, const char* label) {
  if (!out_is_terminal())
    return;
  // !(>= 0) also catches NaN (e.g. 0 of 0 bytes), whose conversion to int is undefined.
  if (!(fraction >= 0))
    fraction = 0;
  if (fraction > 1)
    fraction = 1;
  int width = kBarWidth;
  if (label)
    width = kBarWidth - static_cast<int>(strlen(label)) - 4;
  if (width < 1)
    width = 1;
  int filled = static_cast<int>(width * fraction);
  int percent = static_cast<int>(100 * fraction);
  // At 100 % this is -1, which printf takes as a one-space left-justified field.
  int rest = width - filled - 1;
  lineOpen_ = true;
  if (label)
    fprintf(out_, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBar, rest, "", percent);
  else
    fprintf(out_, "\r[%.*s>%*s] (%3d%% ) ", filled, kBar, rest, "", percent);
}

void CLI_Display::update_spinner(bool active, const char* label) {
  if (!out_is_terminal())
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
