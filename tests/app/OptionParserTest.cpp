#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "OptionParser.h"

namespace {

const std::vector<OptionEntry> kTable = {
    {"-a", 1, OptionArgument::None},         {"-x", 2, OptionArgument::Required},
    {"-OVERRIDE", 1, OptionArgument::None},  {"-OVERLAY", 1, OptionArgument::None},
    {"-ab", 1, OptionArgument::None},        {"-abcd", 1, OptionArgument::None},
    {"--help", 0, OptionArgument::None},     {"--hold", 2, OptionArgument::Required},
    {"-q", 2, OptionArgument::Required},
};

const char* ErrorName(OptionError error) {
  switch (error) {
    case OptionError::Unknown: return "unknown";
    case OptionError::Ambiguous: return "ambiguous";
    case OptionError::MissingValue: return "missing";
    case OptionError::UnexpectedValue: return "unexpected";
    case OptionError::StrayWord: return "stray";
    case OptionError::None: break;
  }
  return "none";
}

// Each accepted option as "text" or "text=argument"; each error as "!kind:word".
std::vector<std::string> Parse(std::vector<const char*> words) {
  words.insert(words.begin(), "prog");
  OptionParser parser(kTable, static_cast<int>(words.size()), words.data());
  std::vector<std::string> seen;
  ParsedOption option;
  while (parser.Next(option)) {
    if (option.error != OptionError::None) {
      seen.push_back(std::string("!") + ErrorName(option.error) + ":" + option.word);
      continue;
    }
    std::string text = option.entry->text;
    if (option.entry->argument == OptionArgument::Required)
      text += "=" + option.argument;
    seen.push_back(text);
  }
  return seen;
}

using V = std::vector<std::string>;

}  // namespace

TEST(OptionParser, ExactMatchWinsThenUniqueProperPrefix) {
  EXPECT_EQ(Parse({"-ab"}), V{"-ab"});           // exact, although also a prefix of -abcd
  EXPECT_EQ(Parse({"-abc"}), V{"-abcd"});        // unique longer entry
  EXPECT_EQ(Parse({"-OVERR", "-OVERL"}), V({"-OVERRIDE", "-OVERLAY"}));
  // Two entries match as far as the word goes.
  EXPECT_EQ(Parse({"-OVER", "-O"}), V({"!ambiguous:-OVER", "!ambiguous:-O"}));
  EXPECT_EQ(Parse({"--he", "--ho", "x"}), V({"--help", "--hold=x"}));
  // The prefix must have the same number of dashes: "-help" is not "--help".
  EXPECT_EQ(Parse({"-help", "---help", "-h"}), V({"!unknown:-help", "!unknown:---help", "!unknown:-h"}));
  // Case matters and letters are never clumped.
  EXPECT_EQ(Parse({"-A", "-override", "-aa", "-ax"}),
            V({"!unknown:-A", "!unknown:-override", "!unknown:-aa", "!unknown:-ax"}));
  // Bare dashes name nothing, even though they prefix every entry.
  EXPECT_EQ(Parse({"-", "--", "-a"}), V({"!unknown:-", "!unknown:--", "-a"}));
}

TEST(OptionParser, ArgumentsComeFromTheNextWordOrAfterEquals) {
  EXPECT_EQ(Parse({"-x", "12", "-q=7", "--hold=a=b"}), V({"-x=12", "-q=7", "--hold=a=b"}));
  EXPECT_EQ(Parse({"-x="}), V{"-x="});
  EXPECT_EQ(Parse({"-ho=1"}), V{"!unknown:-ho"});  // one dash: no prefix of --hold
  // A missing argument or an option in its place is an error; the next word is
  // then parsed as an option of its own.
  EXPECT_EQ(Parse({"-x"}), V{"!missing:-x"});
  EXPECT_EQ(Parse({"-x", "-a"}), V({"!missing:-x", "-a"}));
  EXPECT_EQ(Parse({"-x", "-q", "5"}), V({"!missing:-x", "-q=5"}));
  // An option without argument refuses one attached with "=".
  EXPECT_EQ(Parse({"-a=1", "--help=yes", "-a"}), V({"!unexpected:1", "!unexpected:yes", "-a"}));
}

TEST(OptionParser, WordsOutsideTheTableAreReportedInPlace) {
  EXPECT_EQ(Parse({"word", "-a", "12", "-zz", "-x", "v", "", "tail"}),
            V({"!stray:word", "-a", "!stray:12", "!unknown:-zz", "-x=v", "!stray:", "!stray:tail"}));
  EXPECT_EQ(Parse({}), V{});
}
