#include "update/FleetSearch.h"

#include <set>

#include "aDiscovery.h"

namespace {

struct Wanted {
  std::set<uint32_t> serials;
  std::map<uint32_t, linkSpec> found;
};

bool cbCollect(const linkSpec* spec, bool* success, void* reference) {
  Wanted& wanted = *static_cast<Wanted*>(reference);
  if (wanted.serials.count(spec->serialNumber) != 0 && wanted.found.count(spec->serialNumber) == 0) {
    wanted.found[spec->serialNumber] = *spec;
    *success = true;
  }
  return wanted.found.size() < wanted.serials.size();
}

}  // namespace

std::map<uint32_t, linkSpec> FleetSearch::Find(linkType type, const std::vector<uint32_t>& serialNumbers) {
  Wanted wanted;
  wanted.serials.insert(serialNumbers.begin(), serialNumbers.end());
  if (!wanted.serials.empty()) aDiscovery_EnumerateModules(type, cbCollect, &wanted);
  return wanted.found;
}
