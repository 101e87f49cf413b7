// A small table-driven command-line option parser.
//
// Words are looked up exactly first, then as the unique proper prefix of a
// longer entry with the same number of leading dashes. Arguments are the next
// word or the text after "=" in the same word. Parse errors (unknown option,
// ambiguous prefix, missing or unexpected argument) are skipped silently.
#pragma once
#include <string>
#include <vector>

enum class OptionArgument { None, Required };

struct OptionEntry {
  const char* text;  // with its dashes, e.g. "-d" or "--help"
  int group;
  OptionArgument argument;
};

struct ParsedOption {
  const OptionEntry* entry = nullptr;
  std::string argument;
};

class OptionParser {
public:
  OptionParser(const std::vector<OptionEntry>& table, int argc, const char* const* argv);

  // Moves to the next well-formed option; false when the words are used up.
  bool Next(ParsedOption& option);

private:
  enum class Match { None, Found, Ambiguous };
  Match Lookup(const std::string& name, const OptionEntry*& found) const;
  bool TakeSeparateArgument(std::string& argument);

  const std::vector<OptionEntry>& table_;
  int argc_;
  const char* const* argv_;
  int next_ = 1;  // argv[0] is the program name
};
