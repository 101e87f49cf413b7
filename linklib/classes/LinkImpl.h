// Private state of a Link, shared by the files that implement it.
#pragma once
#include <memory>
#include <string>

#include "Link.h"
#include "LinkStreams.h"
#include "aLink.h"

struct aLogger;

namespace Tessoral {
namespace Kovalink {

struct Link::impl {
  explicit impl(Link& owner_) : owner(owner_) {}

  Link& owner;
  linkRef ref = 0;
  std::unique_ptr<linkSpec> spec;
  std::string name;
  aLogger* logger = nullptr;
  LinkStreams streams;
};

}  // namespace Kovalink
}  // namespace Tessoral
