// A small table-driven command-line option parser.
//
// Words are looked up exactly first, then as the unique proper prefix of a
// longer entry with the same number of leading dashes. Arguments are the next
// word or the text after "=" in the same word. A word the table cannot place
// is handed back as an error, so the caller can refuse the command line
// instead of running something the user did not ask for.
#pragma once
#include <string>
#include <vector>

enum class OptionArgument { None, Required };

struct OptionEntry {
  const char* text;  // with its dashes, e.g. "-d" or "--help"
  int group;
  OptionArgument argument;
};

enum class OptionError {
  None,
  Unknown,          // no entry has that name
  Ambiguous,        // a prefix of more than one entry
  MissingValue,     // no word follows, or the next word is an option
  UnexpectedValue,  // "=value" on an option that takes none
  StrayWord,        // a word that is neither an option nor an option's value
};

struct ParsedOption {
  const OptionEntry* entry = nullptr;  // null when `error` is set
  std::string argument;
  OptionError error = OptionError::None;
  std::string word;  // the word as written, for error messages
};

class OptionParser {
public:
  OptionParser(const std::vector<OptionEntry>& table, int argc, const char* const* argv);

  // Moves to the next option or error; false when the words are used up.
  bool Next(ParsedOption& option);

private:
  enum class Match { None, Found, Ambiguous };
  Match Lookup(const std::string& name, const OptionEntry*& found) const;
  bool TakeSeparateArgument(std::string& argument);
  bool Fail(ParsedOption& option, OptionError error, const std::string& word, const OptionEntry* entry = nullptr);

  const std::vector<OptionEntry>& table_;
  int argc_;
  const char* const* argv_;
  int next_ = 1;  // argv[0] is the program name
};
