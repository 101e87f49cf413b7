// The command line of a lab subcommand: a table of options (flags, or options
// that take the next argument as their value), parsed in order, and the usage
// text generated from the same table. Every lab main reads its arguments here.
#pragma once
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "Numbers.h"

namespace lab {

struct Option {
  // Takes the value ("" for a flag); false for a bad value, with `error` set
  // when the option has more to say than "bad value for NAME: 'VALUE'".
  using Apply = std::function<bool(const std::string& value, std::string& error)>;

  std::string name;   // "--link"; empty for a heading line of the usage
  std::string value;  // what the usage calls the value ("PATH"); empty for a flag
  std::string help;   // usage text; a line feed starts a continuation line
  Apply apply;
};

Option Flag(const char* name, const char* help, bool& field);
Option Flag(const char* name, const char* help, std::function<void()> set);
Option Text(const char* name, const char* value, const char* help, std::string& field);
// May be given again: each value is appended.
Option List(const char* name, const char* value, const char* help, std::vector<std::string>& field);
// Four hexadecimal words "W0:W1:W2:W3".
Option Words(const char* name, const char* value, const char* help, uint32_t (&field)[4]);
Option Custom(const char* name, const char* value, const char* help, Option::Apply apply);
// A line of its own between the options of the usage ("fault knobs:").
Option Heading(const char* text);

// An unsigned number read by ParseNumber in `base` (0: decimal or 0x-hex),
// from `min` to `max`.
template <typename T>
Option Number(const char* name, const char* value, const char* help, T& field, int base = 0, uint64_t min = 0,
              uint64_t max = static_cast<uint64_t>(std::numeric_limits<T>::max())) {
  return Custom(name, value, help, [&field, base, min, max](const std::string& text, std::string&) {
    uint64_t parsed = 0;
    if (!ParseNumber(text, base, max, parsed) || parsed < min)
      return false;
    field = static_cast<T>(parsed);
    return true;
  });
}

class Options {
public:
  enum class Result { Go, Help, UsageError, BadValue };

  // `command` prefixes every error ("updater-lab lpc"); `intro` comes before
  // the option lines of the usage, `outro` after them.
  Options(std::string command, std::string intro, std::vector<Option> table, std::string outro = "");

  // The arguments after the subcommand; "--help" or "-h" where an option may
  // stand asks for the usage.
  Result parse(const std::vector<std::string>& args, std::string& error) const;
  // For a caller in the same process (tests set up a lab so): true for Go
  // only; --help is an error there.
  bool parseAll(const std::vector<std::string>& args, std::string& error) const;
  // For a main: parses argv (argv[0] is the subcommand), prints the usage on
  // --help and errors on stderr. -1 to go on, else the exit code (0 or 2).
  int run(int argc, char** argv) const;
  // Prints "COMMAND: ERROR" (and the usage if asked) on stderr; returns 2.
  int fail(const std::string& error, bool withUsage) const;
  std::string usage() const;

private:
  const Option* find(const std::string& name) const;

  std::string command_, intro_, outro_;
  std::vector<Option> table_;
};

}  // namespace lab
