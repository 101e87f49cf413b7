// The one --json document a run printed, read back for a test: all of stdout,
// fitting the installed result schema, with the run's exit code.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "JsonSchemaCheck.h"
#include "TestSupport.h"

namespace testsupport {

// Adds a failure for anything else on stdout, a member the schema does not
// describe or a wrong exit code; the document as far as it could be read.
inline nlohmann::json ResultDocument(const std::string& out, int exitCode) {
  using nlohmann::json;
  json document;
  try {
    document = json::parse(out);
  } catch (const json::exception& e) {
    ADD_FAILURE() << "stdout is not one JSON document: " << e.what() << "\n" << out;
    return document;
  }
  json schema = json::parse(ReadFile(SourcePath("packaging/updater-result.schema.json")));
  std::vector<std::string> problems = jsonschema::Problems(schema, document);
  EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems) << "\n" << out;
  EXPECT_EQ(document.value("exit_code", -1), exitCode) << out;
  return document;
}

}  // namespace testsupport
