#include "PacedExchange.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <time.h>
#include <unistd.h>

#include "aTime.h"

namespace bench {

namespace {

const size_t kFrameBytes = 30;

sockaddr_in sAddress(const std::string& ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  return a;
}

}  // namespace

double ThreadCpuUs() {
  struct timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

int ListenInLab(const testsupport::LabNetwork& net, uint16_t port, int backlog) {
  testsupport::NetnsScope scope(net.labNamespace());
  int fd = scope.ok() ? socket(AF_INET, SOCK_STREAM, 0) : -1;
  int on = 1;
  sockaddr_in a = sAddress(net.labAddress(), port);
  if (fd >= 0 && (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
                  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(fd, backlog) != 0)) {
    close(fd);
    fd = -1;
  }
  return fd;
}

int ConnectFromProgram(const testsupport::LabNetwork& net, uint16_t port) {
  testsupport::NetnsScope scope(net.programNamespace());
  int fd = scope.ok() ? socket(AF_INET, SOCK_STREAM, 0) : -1;
  int on = 1;
  sockaddr_in a = sAddress(net.labAddress(), port);
  if (fd >= 0 && (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0 ||
                  connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)) {
    close(fd);
    fd = -1;
  }
  return fd;
}

namespace {

// Takes one connection and answers every byte with itself until the peer goes.
void sEcho(int listener) {
  int fd = accept(listener, nullptr, nullptr);
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  char buffer[256];
  ssize_t n;
  while (fd >= 0 && (n = recv(fd, buffer, sizeof(buffer), 0)) > 0)
    send(fd, buffer, static_cast<size_t>(n), MSG_NOSIGNAL);
  if (fd >= 0) close(fd);
}

}  // namespace

PacedExchangeFigures MeasurePacedExchange(const testsupport::LabNetwork& net, size_t frames) {
  PacedExchangeFigures figures;
  int listener = ListenInLab(net, kPacedExchangePort, 1);
  if (listener < 0 || frames == 0) {
    if (listener >= 0) close(listener);
    return figures;
  }
  std::thread echo(sEcho, listener);
  int fd = ConnectFromProgram(net, kPacedExchangePort);
  if (fd >= 0) {
    aTime_SetPreciseSleeps();
    char frame[kFrameBytes] = {0x02, kFrameBytes - 2};
    char reply[256];
    uint32_t margin = 0;
    uint64_t start = aTime_GetMonotonicUS(), slot = start;
    double cpuBefore = ThreadCpuUs();
    for (size_t i = 0; i < frames; i++) {
      aTime_PaceUntilMonotonicUS(slot, &margin);
      recv(fd, reply, sizeof(reply), MSG_DONTWAIT);
      slot = aTime_GetMonotonicUS() + 1000;
      send(fd, frame, sizeof(frame), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    figures.cpuUsPerFrame = (ThreadCpuUs() - cpuBefore) / static_cast<double>(frames);
    figures.ratio = frames * 1000.0 / static_cast<double>(slot - 1000 - start);
    figures.ok = true;
    close(fd);
  } else {
    shutdown(listener, SHUT_RDWR);
  }
  echo.join();
  close(listener);
  return figures;
}

}  // namespace bench
