// The machine-readable result of a run (--json): one JSON document on stdout.
// Its schema is packaging/updater-result.schema.json.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "RunRecord.h"
#include "update/ModuleOutcome.h"

namespace JsonOutput {

// Members keep the order they were added in, so a reader sees the command and its outcome first.
using Json = nlohmann::ordered_json;

// The parts of a document, each added to `document`.
void Discovery(Json& document, const RunRecord::Discovery& discovery);
void Builds(Json& document, const RunRecord::Builds& builds);
void Download(Json& document, const RunRecord::Download& download);
void Check(Json& document, const RunRecord::Check& check);
// -U: one result per module, in the order given.
void Updates(Json& document, const std::vector<ModuleOutcome>& outcomes, uint32_t buildRequested);

// One module's result, as the update's "results" hold it.
Json Result(const ModuleOutcome& outcome);

// How a run ended, for the document's own fields.
struct RunEnd {
  std::string command;    // "discover", "builds", "get", "update", "check", "fingerprint", "info" or "none"
  int exitCode = 0;
  double seconds = 0;
};

// The whole document: what the record holds, and how the run ended.
Json Document(const RunRecord& record, const RunEnd& end);
// Writes the document and a line feed (on one line when `oneLine`: a station's
// stream is one JSON value a line); false, with the system's reason in
// `problem`, when it could not be written whole.
bool Print(FILE* out, const Json& document, std::string* problem = nullptr, bool oneLine = false);
// The "version" member of the document --json -V prints: "updater 1.4.0".
std::string ProgramVersion();

}  // namespace JsonOutput
