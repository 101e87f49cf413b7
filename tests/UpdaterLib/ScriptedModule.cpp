#include "ScriptedModule.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace scripted {

namespace {

uint64_t sNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool sReadAll(int fd, uint8_t* bytes, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = read(fd, bytes + done, count - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

ScriptedModule::ScriptedModule(uint8_t address_) : address(address_) {}

ScriptedModule::~ScriptedModule() {
  Stop();
  if (listenFd >= 0) close(listenFd);
}

void ScriptedModule::Stop() {
  running = false;
  if (listenFd >= 0) shutdown(listenFd, SHUT_RDWR);
  Drop();
  if (acceptThread.joinable()) acceptThread.join();
}

bool ScriptedModule::Listen() {
  listenFd = socket(AF_INET, SOCK_STREAM, 0);
  if (listenFd < 0) return false;
  int one = 1;
  setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listenFd, 4) != 0) return false;
  socklen_t length = sizeof addr;
  getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &length);
  port = ntohs(addr.sin_port);
  return true;
}

bool ScriptedModule::Start() {
  if (!Listen()) return false;
  running = true;
  acceptThread = std::thread([this] { AcceptLoop(); });
  return true;
}

linkSpec ScriptedModule::Spec() const {
  linkSpec spec{};
  spec.type = linkTypeTCPIP;
  spec.serialNumber = 0x1234ABCD;
  spec.address = htonl(INADDR_LOOPBACK);
  spec.port = port;
  return spec;
}

void ScriptedModule::SetHandler(Handler handler_) {
  std::lock_guard<std::mutex> lock(mutex);
  handler = std::move(handler_);
}

void ScriptedModule::SetOnConnect(std::function<void(ScriptedModule& module)> onConnect_) {
  std::lock_guard<std::mutex> lock(mutex);
  onConnect = std::move(onConnect_);
}

void ScriptedModule::AcceptLoop() {
  while (running) {
    if (sNowMs() < refuseUntil) {
      // Refusing means not listening at all, so a connect fails at once.
      if (listenFd >= 0) {
        close(listenFd);
        listenFd = -1;
      }
      usleep(10000);
      continue;
    }
    if (listenFd < 0 && !Listen()) {
      usleep(10000);
      continue;
    }
    pollfd p{listenFd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    int fd = accept(listenFd, nullptr, nullptr);
    if (fd < 0) continue;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Drop();
    clientFd = fd;
    connections++;
    std::function<void(ScriptedModule&)> connected;
    {
      std::lock_guard<std::mutex> lock(mutex);
      connected = onConnect;
    }
    if (connected) connected(*this);
    Serve(fd);
  }
}

// One connection at a time, served on the accept thread: a reconnect replaces it.
void ScriptedModule::Serve(int fd) {
  uint8_t head[2];
  while (running && clientFd == fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    if (!sReadAll(fd, head, 2)) break;
    Bytes frame(head, head + 2);
    frame.resize(2 + head[1]);
    if (head[1] > 0 && !sReadAll(fd, frame.data() + 2, head[1])) break;
    Dispatch(frame);
  }
  int expected = fd;
  if (clientFd.compare_exchange_strong(expected, -1)) close(fd);
}

void ScriptedModule::Dispatch(const Bytes& frame) {
  if (frame[0] == 0xAD && frame[1] == 0) {
    Reply({});  // address query: an empty frame from our address
    return;
  }
  if (frame[0] != address) return;  // link control frames and other addresses
  Bytes data(frame.begin() + 2, frame.end());
  Handler current;
  {
    std::lock_guard<std::mutex> lock(mutex);
    received.push_back(data);
    current = handler;
  }
  if (current) current(*this, data);
}

void ScriptedModule::Reply(const Bytes& data) {
  int fd = clientFd;
  if (fd < 0) return;
  Bytes frame{address, static_cast<uint8_t>(data.size())};
  frame.insert(frame.end(), data.begin(), data.end());
  if (write(fd, frame.data(), frame.size()) < 0) return;
}

void ScriptedModule::Drop() {
  int fd = clientFd.exchange(-1);
  if (fd >= 0) {
    shutdown(fd, SHUT_RDWR);
    close(fd);
  }
}

void ScriptedModule::RefuseFor(unsigned ms) {
  refuseUntil = sNowMs() + ms;
  // From a handler (the accept thread) the listener can go at once, before the host reacts.
  if (std::this_thread::get_id() == acceptThread.get_id() && listenFd >= 0) {
    close(listenFd);
    listenFd = -1;
  }
}

std::vector<Bytes> ScriptedModule::Received() {
  std::lock_guard<std::mutex> lock(mutex);
  return received;
}

Bytes StatusReply(uint8_t status, const Bytes& rest) {
  Bytes reply{0x5F, 0x07, status};
  reply.insert(reply.end(), rest.begin(), rest.end());
  return reply;
}

uint32_t Sum(const uint8_t* data, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i < length; i++) sum += data[i];
  return sum;
}

}  // namespace scripted
