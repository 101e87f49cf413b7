// Finds the places of listed modules on one transport in a single discovery, which ends as
// soon as every one of them has answered.
#pragma once
#include <cstdint>
#include <map>
#include <vector>

#include "aLinkSpec.h"

namespace FleetSearch {

// Serial number -> where it answered; modules that did not answer are missing.
std::map<uint32_t, linkSpec> Find(linkType type, const std::vector<uint32_t>& serialNumbers);

}  // namespace FleetSearch
