// Private state of a Link, shared by the files that implement it.
#pragma once
#include <memory>
#include <string>

#include "Link.h"
#include "LinkPacketLog.h"
#include "LinkStreams.h"
#include "aLink.h"

namespace Tessoral {
namespace Kovalink {

struct Link::impl {
  explicit impl(Link& owner_) : owner(owner_), streams(owner_), packetLog(owner_) {}

  Link& owner;
  linkRef ref = 0;
  std::unique_ptr<linkSpec> spec;
  std::string name;
  LinkStreams streams;
  LinkPacketLog packetLog;
};

}  // namespace Kovalink
}  // namespace Tessoral
