// Results reach the document as values: no code reads back what the display
// was shown (numbers are read with the one number parser), nor stands between
// the commands and the updater to record them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace fs = std::filesystem;

TEST(ResultsAreValues, NoSourceScansShownLinesOrInterceptsTheUpdater) {
  // The layers that write user text, and what stands on them.
  std::vector<std::string> offences;
  size_t read = 0;
  for (const char* room : {"app", "ui", "UpdaterLib"}) {
    for (const auto& entry : fs::recursive_directory_iterator(testsupport::SourcePath(room))) {
      const std::string ext = entry.path().extension().string();
      if (!entry.is_regular_file() || (ext != ".cpp" && ext != ".h")) continue;
      std::ifstream in(entry.path());
      std::stringstream text;
      text << in.rdbuf();
      read++;
      for (const char* word : {"sscanf", "RecordingUpdater", "ErrorRecorder"})
        if (text.str().find(word) != std::string::npos) offences.push_back(entry.path().string() + ": " + word);
    }
  }
  EXPECT_GT(read, 50u);  // the tree was found
  EXPECT_EQ(offences, std::vector<std::string>());
}
