// What the link core must tell the user itself, having no display of its own:
// a device it may not open, a USB interface it could not let go. The front end
// names its display here; until it does (and in programs without one), the
// text goes to stderr as one line.
#pragma once

class UpdaterDisplayInterface;

class UserNotice {
public:
  // Returns the display named before, so a caller can put it back.
  static UpdaterDisplayInterface* SetDisplay(UpdaterDisplayInterface* display);
  // printf-style, no trailing newline; cut to 2047 characters.
  static void error(const char* format, ...) __attribute__((format(printf, 1, 2)));

  // Names `display` for as long as it lives, then puts back the one named before.
  class Route {
  public:
    explicit Route(UpdaterDisplayInterface* display) : before_(SetDisplay(display)) {}
    ~Route() { SetDisplay(before_); }
    Route(const Route&) = delete;
    Route& operator=(const Route&) = delete;

  private:
    UpdaterDisplayInterface* before_;
  };
};
