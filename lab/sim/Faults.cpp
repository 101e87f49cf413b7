#include "sim/Faults.h"

namespace lab {

SimFaults::SimFaults(const std::vector<FaultSpec>& faults) {
  for (const FaultSpec& fault : faults)
    entries_.push_back(Entry{fault, 0, false});
}

void SimFaults::onRequest(const std::string& step) {
  for (Entry& entry : entries_) {
    entry.firing = false;
    if (entry.spec.step != step && entry.spec.step != "any")
      continue;
    ++entry.seen;
    entry.firing = entry.spec.nth == 0 || entry.seen == entry.spec.nth;
  }
}

bool SimFaults::fired(FaultKind kind) const {
  for (const Entry& entry : entries_)
    if (entry.spec.kind == kind && entry.firing)
      return true;
  return false;
}

uint32_t SimFaults::value(FaultKind kind, uint32_t fallback) const {
  for (const Entry& entry : entries_)
    if (entry.spec.kind == kind && entry.firing)
      return entry.spec.value;
  return fallback;
}

bool SimFaults::has(FaultKind kind) const {
  for (const Entry& entry : entries_)
    if (entry.spec.kind == kind)
      return true;
  return false;
}

}  // namespace lab
