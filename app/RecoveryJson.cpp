#include "RecoveryJson.h"

#include <cstdio>

using json = JsonOutput::Json;

namespace {

const char* ChipName(ChipFamily chip) {
  switch (chip) {
    case ChipFamily::Lpc: return "lpc";
    case ChipFamily::Imx: return "imx";
    default: return "unknown";
  }
}

const char* CheckName(RecoveryCheck check) {
  switch (check) {
    case RecoveryCheck::FlashReadBack: return "flash_read_back";
    case RecoveryCheck::ModuleReturn: return "module_return";
    default: return "none";
  }
}

// Word 0 first, each as the fingerprint line shows it.
json Words(const Fingerprint& fingerprint) {
  json words = json::array();
  for (uint32_t word : fingerprint.word) {
    char text[9];
    snprintf(text, sizeof(text), "%08X", word);
    words.push_back(text);
  }
  return words;
}

}  // namespace

void JsonOutput::FingerprintRead(json& document, const RunRecord::Fingerprint& fingerprint) {
  const FingerprintOutcome& outcome = fingerprint.outcome;
  json member = {{"chip", ChipName(outcome.chip)}, {"read", outcome.read}};
  if (outcome.read)
    member["words"] = Words(outcome.fingerprint);
  document["fingerprint"] = member;
}

void JsonOutput::RecoveryResult(json& document, const RunRecord::Recovery& recovery) {
  json& results = document["results"];
  if (!results.is_array() || results.empty())
    return;
  const RecoveryOutcome& outcome = recovery.outcome;
  json member = {{"chip", ChipName(outcome.identity.chip)}};
  if (outcome.identity.read)
    member["fingerprint"] = Words(outcome.identity.fingerprint);
  member["build_written"] = outcome.buildWritten;
  member["verified_by"] = CheckName(outcome.verifiedBy);
  // A recovery is the run's one module.
  results.back()["recovery"] = member;
}
