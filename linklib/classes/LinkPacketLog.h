// The packet log of a Link: the engine's record of the frames sent and
// received, drained by a logger thread into a text file.
#pragma once
#include "aError.h"

struct aLogger;

namespace Tessoral {
namespace Kovalink {

class Link;

class LinkPacketLog {
public:
  explicit LinkPacketLog(Link& owner) : link(owner) {}
  ~LinkPacketLog() { release(); }
  LinkPacketLog(const LinkPacketLog&) = delete;
  LinkPacketLog& operator=(const LinkPacketLog&) = delete;

  // The logger for the path is created once, by the first enable; later
  // enables restart it on the file it already has.
  aErr enable(const char* path);
  aErr disable();
  // Ends the logger thread and closes the file.
  void release();

private:
  Link& link;
  aLogger* logger = nullptr;
};

}  // namespace Kovalink
}  // namespace Tessoral
