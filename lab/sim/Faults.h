// Counts a module's requests per step and tells which fault knobs fire on each.
#pragma once
#include <string>
#include <vector>

#include "LabConfig.h"

namespace lab {

class SimFaults {
public:
  explicit SimFaults(const std::vector<FaultSpec>& faults);

  // Call once per request; afterwards fired() answers for that request.
  void onRequest(const std::string& step);
  bool fired(FaultKind kind) const;
  // The fired fault's value (PREPARE status, bytes refused), or `fallback`.
  uint32_t value(FaultKind kind, uint32_t fallback) const;
  // Standing knobs that are not bound to requests (silent, refuse-link, ...).
  bool has(FaultKind kind) const;

private:
  struct Entry {
    FaultSpec spec;
    unsigned seen = 0;
    bool firing = false;
  };
  std::vector<Entry> entries_;
};

}  // namespace lab
