#include "sim/ModuleHost.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Bytes.h"

namespace lab {

namespace {

constexpr uint16_t kDiscoveryPort = 9888;
constexpr uint16_t kDiscoveryReplyPort = 9889;
constexpr const char* kDiscoveryGroup = "232.2.2.2";
constexpr size_t kDiscoveryReplySize = 16;
constexpr int kMaxPollMs = 200;
constexpr uint32_t kWakeTag = 0xFFFFFFFFu;
constexpr uint32_t kDiscoveryTag = 0xFFFFFFFEu;
constexpr int kEventsPerWait = 256;

void CloseWithReset(int fd) {
  // A reset rather than an orderly close: the host's socket stream sees the
  // connection fail at once instead of waiting on a half-closed socket.
  struct linger reset = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
  close(fd);
}

bool SendAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::vector<uint8_t> DiscoveryReply(const SimModule& module) {
  std::vector<uint8_t> reply(kDiscoveryReplySize, 0);
  uint16_t port = module.config().port;
  uint32_t serial = module.serial();
  reply[1] = module.address();
  SetLE16(&reply[2], port);
  SetLE32(&reply[4], serial);
  reply[12] = module.config().model;
  return reply;
}

}  // namespace

uint64_t LabNowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

LabModuleHost::LabModuleHost(const LabConfig& config) : config_(config) {}

LabModuleHost::~LabModuleHost() {
  stop();
  if (thread_.joinable())
    thread_.join();
  for (Endpoint& endpoint : endpoints_) {
    closeLink(endpoint);
    if (endpoint.listener >= 0)
      close(endpoint.listener);
  }
  if (discovery_ >= 0)
    close(discovery_);
  if (epoll_ >= 0)
    close(epoll_);
  for (int fd : wake_)
    if (fd >= 0)
      close(fd);
}

bool LabModuleHost::open(std::string& error) {
  if (opened_) {
    error = "already open";
    return false;
  }
  if (!ValidateConfig(config_, error))
    return false;
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  if (epoll_ < 0) {
    error = std::string("epoll: ") + std::strerror(errno);
    return false;
  }
  watch(wake_[0], kWakeTag);
  uint64_t now = LabNowMs();
  for (const ModuleConfig& cfg : config_.modules) {
    uint8_t routerAddress = cfg.address;
    for (const ModuleConfig& other : config_.modules)
      if (cfg.behind && other.serial == cfg.behind)
        routerAddress = other.address;
    modules_.push_back(std::make_unique<SimModule>(cfg, routerAddress, config_.dumpDir, now));
  }
  for (auto& module : modules_) {
    if (module->config().behind == 0) {
      endpoints_.emplace_back();
      endpoints_.back().module = module.get();
      continue;
    }
    for (auto& router : modules_)
      if (router->serial() == module->config().behind)
        router->attach(module.get());
  }
  for (Endpoint& endpoint : endpoints_)
    if (!endpoint.module->has(FaultKind::RefuseLink) && endpoint.module->online() && !openListener(endpoint, error))
      return false;
  if (!openDiscovery(error))
    return false;
  opened_ = true;
  return true;
}

bool LabModuleHost::openDiscovery(std::string& error) {
  discovery_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int on = 1;
  struct sockaddr_in local;
  std::memset(&local, 0, sizeof(local));
  local.sin_family = AF_INET;
  local.sin_port = htons(kDiscoveryPort);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  // Address reuse lets several lab processes in one namespace all hear the requests.
  if (discovery_ < 0 || setsockopt(discovery_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
      bind(discovery_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
    error = std::string("discovery socket on UDP 9888: ") + std::strerror(errno);
    return false;
  }
  watch(discovery_, kDiscoveryTag);
  struct ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0)
    return true;  // links still work; discovery simply hears nothing
  for (struct ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || (entry->ifa_flags & IFF_LOOPBACK))
      continue;
    struct ip_mreq membership;
    inet_pton(AF_INET, kDiscoveryGroup, &membership.imr_multiaddr);
    membership.imr_interface = reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr;
    if (setsockopt(discovery_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership)) == 0) {
      char text[INET_ADDRSTRLEN];
      joined_.push_back(inet_ntop(AF_INET, &membership.imr_interface, text, sizeof(text)));
    }
  }
  freeifaddrs(interfaces);
  return true;
}

bool LabModuleHost::openListener(Endpoint& endpoint, std::string& error) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  struct sockaddr_in local;
  std::memset(&local, 0, sizeof(local));
  local.sin_family = AF_INET;
  local.sin_port = htons(endpoint.module->config().port);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 || listen(fd, 4) != 0) {
    error = "TCP port " + std::to_string(endpoint.module->config().port) + ": " + std::strerror(errno);
    if (fd >= 0)
      close(fd);
    return false;
  }
  endpoint.listener = fd;
  watch(fd, static_cast<uint32_t>(&endpoint - endpoints_.data()));
  return true;
}

// A descriptor closed leaves the set by itself; the tag tells whose it is, and
// the descriptor number is checked against the endpoint's current ones when
// its event comes.
void LabModuleHost::watch(int fd, uint32_t tag) {
  struct epoll_event event;
  std::memset(&event, 0, sizeof(event));
  event.events = EPOLLIN;
  event.data.u64 = (static_cast<uint64_t>(tag) << 32) | static_cast<uint32_t>(fd);
  epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
}

void LabModuleHost::closeLink(Endpoint& endpoint) {
  if (endpoint.link < 0)
    return;
  CloseWithReset(endpoint.link);
  endpoint.link = -1;
  endpoint.reader.reset();
  endpoint.module->linkClosed();
}

bool LabModuleHost::start(std::string& error) {
  if (!open(error))
    return false;
  thread_ = std::thread([this] { run(); });
  return true;
}

void LabModuleHost::stop() {
  stopping_.store(true);
  if (wake_[1] >= 0) {
    char byte = 1;
    ssize_t ignored = write(wake_[1], &byte, 1);
    (void)ignored;
  }
}

void LabModuleHost::consider(uint64_t at) {
  if (at != 0 && (nextTickMs_ == 0 || at < nextTickMs_))
    nextTickMs_ = at;
}

int LabModuleHost::waitTimeout(uint64_t now) const {
  uint64_t until = lastTickMs_ + kMaxPollMs;
  if (nextTickMs_ != 0 && nextTickMs_ < until)
    until = nextTickMs_;
  return until <= now ? 0 : static_cast<int>(until - now);
}

void LabModuleHost::handle(uint64_t event, uint64_t now) {
  const uint32_t tag = static_cast<uint32_t>(event >> 32);
  const int fd = static_cast<int>(static_cast<uint32_t>(event));
  if (tag == kWakeTag) {
    char drain[16];
    while (read(wake_[0], drain, sizeof(drain)) > 0) {
    }
  } else if (tag == kDiscoveryTag) {
    serveDiscovery();
  } else if (tag < endpoints_.size()) {
    Endpoint& endpoint = endpoints_[tag];
    if (endpoint.listener == fd)
      acceptLink(endpoint, now);
    else if (endpoint.link == fd)
      readLink(endpoint, now);
    consider(endpoint.module->nextEvent());
  }
}

void LabModuleHost::run() {
  std::vector<struct epoll_event> events(kEventsPerWait);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lastTickMs_ = LabNowMs();
  }
  while (!stopping_.load()) {
    int timeout;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      timeout = waitTimeout(LabNowMs());
    }
    int ready = epoll_wait(epoll_, events.data(), kEventsPerWait, timeout);
    if (ready < 0 && errno != EINTR)
      break;
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_.load())
      break;
    uint64_t now = LabNowMs();
    for (int i = 0; i < ready; ++i)
      handle(events[i].data.u64, now);
    if ((nextTickMs_ != 0 && now >= nextTickMs_) || now >= lastTickMs_ + kMaxPollMs) {
      nextTickMs_ = 0;
      lastTickMs_ = now;
      tick(now);
      for (const Endpoint& endpoint : endpoints_)
        consider(endpoint.module->nextEvent());
    }
  }
}

void LabModuleHost::serveDiscovery() {
  uint8_t request[64];
  struct sockaddr_in from;
  socklen_t fromLength = sizeof(from);
  ssize_t n = recvfrom(discovery_, request, sizeof(request), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                       &fromLength);
  if (n < 1 || request[0] != 0x01 || from.sin_family != AF_INET)
    return;
  ++discoveryRequests_;
  from.sin_port = htons(kDiscoveryReplyPort);
  for (const Endpoint& endpoint : endpoints_) {
    const SimModule& module = *endpoint.module;
    if (!module.online() || module.has(FaultKind::NoDiscovery))
      continue;
    std::vector<uint8_t> reply = DiscoveryReply(module);
    sendto(discovery_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof(from));
  }
}

void LabModuleHost::acceptLink(Endpoint& endpoint, uint64_t now) {
  int fd = accept4(endpoint.listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0)
    return;
  // A module serves one link; a new connection (the host reconnecting) replaces the old one.
  closeLink(endpoint);
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  endpoint.link = fd;
  watch(fd, static_cast<uint32_t>(&endpoint - endpoints_.data()));
  endpoint.module->linkOpened(now);
  if (config_.verbose)
    std::fprintf(stderr, "%08X: link opened\n", endpoint.module->serial());
}

void LabModuleHost::readLink(Endpoint& endpoint, uint64_t now) {
  uint8_t buffer[512];
  ssize_t n = recv(endpoint.link, buffer, sizeof(buffer), MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR))
    return;
  if (n <= 0) {
    if (config_.verbose)
      std::fprintf(stderr, "%08X: link closed by the host\n", endpoint.module->serial());
    closeLink(endpoint);
    return;
  }
  trace(*endpoint.module, "<", buffer, static_cast<size_t>(n));
  std::vector<SimFrame> frames;
  endpoint.reader.feed(buffer, static_cast<size_t>(n), frames);
  for (const SimFrame& frame : frames) {
    SimOutput out;
    endpoint.module->receive(frame, now, out);
    apply(endpoint, out);
    if (endpoint.link < 0)
      break;  // the rest of the bytes went with the link
  }
}

void LabModuleHost::apply(Endpoint& endpoint, SimOutput& out) {
  for (const std::string& note : out.notes)
    std::fprintf(stderr, "%s\n", note.c_str());
  if (endpoint.link >= 0 && !out.bytes.empty()) {
    trace(*endpoint.module, ">", out.bytes.data(), out.bytes.size());
    if (!SendAll(endpoint.link, out.bytes))
      closeLink(endpoint);
  }
  if (out.reboot && endpoint.listener >= 0) {
    // While it reboots the module takes no links: connections are refused. The
    // listener goes first, so a host that reconnects on the reset finds it gone.
    close(endpoint.listener);
    endpoint.listener = -1;
  }
  if (out.dropLink || out.reboot)
    closeLink(endpoint);
}

void LabModuleHost::tick(uint64_t now) {
  for (Endpoint& endpoint : endpoints_) {
    SimOutput out;
    endpoint.module->tick(now, out);
    apply(endpoint, out);
    if (endpoint.listener < 0 && endpoint.module->online() && !endpoint.module->has(FaultKind::RefuseLink)) {
      std::string error;
      if (!openListener(endpoint, error))
        std::fprintf(stderr, "%08X: %s\n", endpoint.module->serial(), error.c_str());
    }
  }
}

void LabModuleHost::trace(const SimModule& module, const char* direction, const uint8_t* bytes,
                          size_t count) const {
  if (!config_.verbose)
    return;
  std::fprintf(stderr, "%08X %s%s\n", module.serial(), direction, HexBytes(bytes, count).c_str());
}

std::vector<std::string> LabModuleHost::describe() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> lines;
  for (const auto& module : modules_)
    lines.push_back(module->describe());
  return lines;
}

const SimModule* LabModuleHost::find(uint32_t serial) const {
  for (const auto& module : modules_)
    if (module->serial() == serial)
      return module.get();
  return nullptr;
}

SimModuleStats LabModuleHost::stats(uint32_t serial) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const SimModule* module = find(serial);
  return module ? module->stats() : SimModuleStats();
}

std::vector<uint8_t> LabModuleHost::firmware(uint32_t serial, uint32_t* base) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const SimModule* module = find(serial);
  if (!module)
    return {};
  if (base)
    *base = module->upgrade().firmware().base;
  return module->upgrade().firmware().bytes;
}

std::vector<uint8_t> LabModuleHost::loader(uint32_t serial) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const SimModule* module = find(serial);
  return module ? module->upgrade().loader() : std::vector<uint8_t>();
}

std::vector<SimFrame> LabModuleHost::received(uint32_t serial) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const SimModule* module = find(serial);
  if (!module)
    return {};
  const SimModule* link = module;
  for (const auto& candidate : modules_)
    if (candidate->serial() == module->config().behind)
      link = candidate.get();
  return std::vector<SimFrame>(link->received().begin(), link->received().end());
}

uint32_t LabModuleHost::build(uint32_t serial) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const SimModule* module = find(serial);
  return module ? module->build() : 0;
}

bool LabModuleHost::inspect(uint32_t serial, const std::function<void(const SimModule&)>& view) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const SimModule* module = find(serial);
  if (module)
    view(*module);
  return module != nullptr;
}

}  // namespace lab
