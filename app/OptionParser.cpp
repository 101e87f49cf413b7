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

bool OptionParser::Next(ParsedOption& option) {
  while (next_ < argc_) {
    const char* word = argv_[next_++];
    if (!word || word[0] != '-')
      continue;
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
    if (Lookup(name, entry) != Match::Found)
      continue;
    std::string argument;
    if (entry->argument == OptionArgument::None) {
      if (hasAttached)
        continue;
    } else if (hasAttached) {
      argument = attached;
    } else if (!TakeSeparateArgument(argument)) {
      continue;
    }
    option.entry = entry;
    option.argument = argument;
    return true;
  }
  return false;
}
