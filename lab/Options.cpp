#include "Options.h"

#include <cstdio>
#include <utility>

namespace lab {

namespace {

// Help text starts in this column; a longer option and value get a line of their own.
constexpr size_t kHelpColumn = 23;

std::string sOptionLine(const Option& option) {
  if (option.name.empty())
    return option.help + "\n";
  std::string line = "  " + option.name + (option.value.empty() ? "" : " " + option.value);
  std::string indent(kHelpColumn, ' ');
  line += line.size() + 1 <= kHelpColumn ? std::string(kHelpColumn - line.size(), ' ') : "\n" + indent;
  for (char c : option.help)
    line += c == '\n' ? "\n" + indent : std::string(1, c);
  return line + "\n";
}

}  // namespace

Option Flag(const char* name, const char* help, bool& field) {
  return Flag(name, help, [&field] { field = true; });
}

Option Flag(const char* name, const char* help, std::function<void()> set) {
  return Option{name, "", help, [set](const std::string&, std::string&) {
                  set();
                  return true;
                }};
}

Option Text(const char* name, const char* value, const char* help, std::string& field) {
  return Custom(name, value, help, [&field](const std::string& text, std::string&) {
    field = text;
    return true;
  });
}

Option List(const char* name, const char* value, const char* help, std::vector<std::string>& field) {
  return Custom(name, value, help, [&field](const std::string& text, std::string&) {
    field.push_back(text);
    return true;
  });
}

Option Words(const char* name, const char* value, const char* help, uint32_t (&field)[4]) {
  return Custom(name, value, help, [&field](const std::string& text, std::string&) { return ParseWords(text, field); });
}

Option Custom(const char* name, const char* value, const char* help, Option::Apply apply) {
  return Option{name, value, help, std::move(apply)};
}

Option Heading(const char* text) { return Option{"", "", text, nullptr}; }

Options::Options(std::string command, std::string intro, std::vector<Option> table, std::string outro)
    : command_(std::move(command)), intro_(std::move(intro)), outro_(std::move(outro)), table_(std::move(table)) {}

const Option* Options::find(const std::string& name) const {
  for (const Option& option : table_)
    if (!option.name.empty() && option.name == name)
      return &option;
  return nullptr;
}

Options::Result Options::parse(const std::vector<std::string>& args, std::string& error) const {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (name == "--help" || name == "-h")
      return Result::Help;
    const Option* option = find(name);
    if (!option) {
      error = "unknown option " + name;
      return Result::UsageError;
    }
    bool flag = option->value.empty();
    if (!flag && i + 1 >= args.size()) {
      error = name + " needs a value";
      return Result::UsageError;
    }
    std::string value = flag ? "" : args[++i];
    error.clear();
    if (!option->apply(value, error)) {
      if (error.empty())
        error = "bad value for " + name + ": '" + value + "'";
      return Result::BadValue;
    }
  }
  return Result::Go;
}

bool Options::parseAll(const std::vector<std::string>& args, std::string& error) const {
  Result result = parse(args, error);
  if (result == Result::Help)
    error = "--help asks for the usage";
  return result == Result::Go;
}

int Options::run(int argc, char** argv) const {
  std::string error;
  switch (parse(std::vector<std::string>(argv + 1, argv + argc), error)) {
    case Result::Go: return -1;
    case Result::Help: std::fputs(usage().c_str(), stdout); return 0;
    case Result::UsageError: return fail(error, true);
    case Result::BadValue: return fail(error, false);
  }
  return 2;
}

int Options::fail(const std::string& error, bool withUsage) const {
  std::fprintf(stderr, "%s: %s\n", command_.c_str(), error.c_str());
  if (withUsage)
    std::fputs(usage().c_str(), stderr);
  return 2;
}

std::string Options::usage() const {
  std::string text = intro_;
  for (const Option& option : table_)
    text += sOptionLine(option);
  return text + outro_;
}

}  // namespace lab
