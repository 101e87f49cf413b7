// What one frame of a paced request/reply transfer costs on this machine with
// nothing but the system calls it needs: a thread in the program's namespace
// waits out the 1 ms pace with the engine's pacing wait, takes in the reply to
// its last frame and sends the next, to an echo in the lab's namespace over the
// same pair of interfaces. Its CPU per frame is the least the updater's link
// engine can spend on a frame here (the echo's own CPU is not counted).
#pragma once
#include <cstddef>
#include <cstdint>

#include "LabNetwork.h"

namespace bench {

const uint16_t kPacedExchangePort = 9190;

struct PacedExchangeFigures {
  bool ok = false;
  double ratio = 0;          // frames x 1 ms over the time they took
  double cpuUsPerFrame = 0;  // the sending thread's CPU time per frame
};

// The calling thread's CPU time, in microseconds.
double ThreadCpuUs();

// A TCP socket listening in the lab's namespace, or connected from the
// program's to the lab's address, with Nagle off (-1 when it cannot).
int ListenInLab(const testsupport::LabNetwork& net, uint16_t port, int backlog);
int ConnectFromProgram(const testsupport::LabNetwork& net, uint16_t port);

PacedExchangeFigures MeasurePacedExchange(const testsupport::LabNetwork& net, size_t frames);

}  // namespace bench
