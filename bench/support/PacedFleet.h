// What N links of paced request/reply frames cost on this machine with
// nothing but the system calls they need, in three designs: a thread a link
// (as the updater has); one thread that moves every link's frames (an event
// loop over the N sockets); and an I/O thread that takes every reply in and
// wakes the link's own thread, which sends its next frame. Each link waits for the reply to its frame
// and sends its next frame 1 ms after the last, at the soonest. An echo
// thread in the lab's namespace answers every link from one epoll loop, as
// the lab does. What a design spends here is the least that design can
// spend on a frame, and the pace it holds is the most it can reach.
#pragma once
#include <cstddef>

#include "LabNetwork.h"

namespace bench {

struct PacedFleetFigures {
  bool ok = false;
  double ratio = 0;           // frames x 1 ms over the time the slowest link took
  double cpuUsPerFrame = 0;   // the sending side's CPU time per frame, all its threads
  double echoUsPerFrame = 0;  // the echo's CPU time per frame
};

enum class FleetDesign { ThreadPerLink, OneThread, IOThreadAndLinkThreads };

PacedFleetFigures MeasurePacedFleet(const testsupport::LabNetwork& net, int links, size_t frames, FleetDesign design);

}  // namespace bench
