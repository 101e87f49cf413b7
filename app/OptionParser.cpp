#include "OptionParser.h"

#include <cstring>

namespace {

size_t LeadingDashes(const std::string& text) {
  size_t n = 0;
  while (n < text.size() && text[n] == '-')
    n++;
  return n;
}

}  // namespace

OptionParser::OptionParser(const std::vector<OptionEntry>& table, int argc, const char* const* argv)
    : table_(table), argc_(argc), argv_(argv) {}

OptionParser::Match OptionParser::Lookup(const std::string& name, const OptionEntry*& found) const {
  for (const OptionEntry& entry : table_) {
    if (name == entry.text) {
      found = &entry;
      return Match::Found;
    }
  }
  // A bare "-" or "--" names nothing; otherwise it would be a prefix of every entry.
  size_t dashes = LeadingDashes(name);
  if (dashes == name.size())
    return Match::None;
  int candidates = 0;
  for (const OptionEntry& entry : table_) {
    std::string text = entry.text;
    if (LeadingDashes(text) != dashes || text.size() <= name.size())
      continue;
    if (text.compare(0, name.size(), name) == 0) {
      found = &entry;
      candidates++;
    }
  }
  if (candidates == 1)
    return Match::Found;
  return candidates == 0 ? Match::None : Match::Ambiguous;
}

bool OptionParser::TakeSeparateArgument(std::string& argument) {
  // A following option word is not swallowed as the argument; it is parsed on its own.
  if (next_ >= argc_ || !argv_[next_] || argv_[next_][0] == '-')
    return false;
  argument = argv_[next_++];
  return true;
}

bool OptionParser::Fail(ParsedOption& option, OptionError error, const std::string& word,
                        const OptionEntry* entry) {
  option.entry = entry;
  option.argument.clear();
  option.error = error;
  option.word = word;
  return true;
}

bool OptionParser::Next(ParsedOption& option) {
  if (next_ >= argc_)
    return false;
  const char* raw = argv_[next_++];
  std::string word = raw ? raw : "";
  if (word.empty() || word[0] != '-')
    return Fail(option, OptionError::StrayWord, word);
  std::string name = word;
  std::string attached;
  bool hasAttached = false;
  size_t equals = name.find('=');
  if (equals != std::string::npos) {
    attached = name.substr(equals + 1);
    name.erase(equals);
    hasAttached = true;
  }
  const OptionEntry* entry = nullptr;
  Match match = Lookup(name, entry);
  if (match != Match::Found)
    return Fail(option, match == Match::Ambiguous ? OptionError::Ambiguous : OptionError::Unknown, name);
  std::string argument;
  if (entry->argument == OptionArgument::None) {
    if (hasAttached)
      return Fail(option, OptionError::UnexpectedValue, attached, entry);
  } else if (hasAttached) {
    argument = attached;
  } else if (!TakeSeparateArgument(argument)) {
    return Fail(option, OptionError::MissingValue, word, entry);
  }
  option.entry = entry;
  option.argument = argument;
  option.error = OptionError::None;
  option.word = word;
  return true;
}
