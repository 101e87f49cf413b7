// docs/architecture.md walks the code by "file: function" lines; these tests
// keep the map true to the code it describes.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kSource = UPDATER_SOURCE_DIR;

struct Step {
  int line;
  std::string file;
  std::string function;
};

struct Walk {
  std::string title;
  std::vector<Step> steps;
};

std::string Between(const std::string& text, size_t& at) {
  size_t open = text.find('`', at);
  size_t close = open == std::string::npos ? open : text.find('`', open + 1);
  if (close == std::string::npos)
    return std::string();
  at = close + 1;
  return text.substr(open + 1, close - open - 1);
}

// A step is a numbered line "N. `file`: `function`", with an optional note after it.
bool ParseStep(const std::string& text, int line, Step& step) {
  size_t dot = text.find(". ");
  if (dot == 0 || dot == std::string::npos || text.find_first_not_of("0123456789") != dot)
    return false;
  size_t at = dot;
  step.line = line;
  step.file = Between(text, at);
  bool colon = text.compare(at, 2, ": ") == 0;
  step.function = Between(text, at);
  return colon && !step.file.empty() && !step.function.empty();
}

std::vector<Walk> ReadWalks() {
  std::ifstream in(kSource + "/docs/architecture.md");
  std::vector<Walk> walks;
  std::string text;
  for (int line = 1; std::getline(in, text); ++line) {
    if (text.rfind("## ", 0) == 0) {
      if (text.rfind("## Walk", 0) == 0)
        walks.push_back(Walk{text, {}});
      else if (!walks.empty() && !walks.back().title.empty())
        walks.push_back(Walk{"", {}});  // a section that is not a walk
      continue;
    }
    Step step;
    if (!walks.empty() && !walks.back().title.empty() && !text.empty() && isdigit(text[0])) {
      EXPECT_TRUE(ParseStep(text, line, step)) << "line " << line << " is not \"N. `file`: `function`\": " << text;
      walks.back().steps.push_back(step);
    }
  }
  std::vector<Walk> named;
  for (const Walk& walk : walks)
    if (!walk.title.empty())
      named.push_back(walk);
  return named;
}

bool IdentifierChar(char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// A definition starts in the first column (a declaration ends in ';', a call is indented).
bool Defines(const std::string& file, const std::string& function) {
  std::ifstream in(kSource + "/" + file);
  std::string text;
  while (std::getline(in, text)) {
    if (text.empty() || isspace(static_cast<unsigned char>(text[0])) || text[0] == '#' || text.rfind("//", 0) == 0)
      continue;
    size_t end = text.find_last_not_of(" \t");
    if (end != std::string::npos && text[end] == ';')
      continue;
    for (size_t at = text.find(function + "("); at != std::string::npos; at = text.find(function + "(", at + 1))
      if (at == 0 || (!IdentifierChar(text[at - 1]) && text[at - 1] != ':'))
        return true;
  }
  return false;
}

TEST(ArchitectureDoc, EveryWalkedFunctionIsDefinedInItsFile) {
  std::vector<Walk> walks = ReadWalks();
  ASSERT_EQ(walks.size(), 2u) << "docs/architecture.md should hold the update walk and the recovery walk";
  for (const Walk& walk : walks) {
    EXPECT_GE(walk.steps.size(), 3u) << walk.title;
    EXPECT_EQ(walk.steps.front().function, "main") << walk.title;
    for (const Step& step : walk.steps)
      EXPECT_TRUE(Defines(step.file, step.function))
          << "docs/architecture.md line " << step.line << ": " << step.function << " is not defined in " << step.file;
  }
  EXPECT_FALSE(Defines("app/Commands.cpp", "RunCommand")) << "a prefix of a name is not the name";
}

TEST(ArchitectureDoc, UpdateWalkReachesTheLinkWithinTenFunctions) {
  std::vector<Walk> walks = ReadWalks();
  ASSERT_FALSE(walks.empty());
  const std::vector<Step>& steps = walks.front().steps;
  size_t count = 0;
  while (count < steps.size() && steps[count].function != "aLink_PutPacket")
    count++;
  ASSERT_LT(count, steps.size()) << walks.front().title << " does not reach aLink_PutPacket";
  count++;  // aLink_PutPacket itself
  EXPECT_LE(count, 10u) << "the -U walk has " << count
                        << " functions from main to aLink_PutPacket (both included); at most 10";
}

}  // namespace
