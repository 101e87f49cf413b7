#include "server/Server.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <chrono>
#include <sstream>

#include "Numbers.h"
#include "server/Bird.h"

namespace {

std::string sError(const std::string& why) { return "error\n" + why + "\n"; }

std::string sHex8(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%08X", value);
  return text;
}

const char* sKindName(LabFault::Kind kind) {
  static const char* const names[] = {"status", "nook", "okonly", "corrupt", "stall",
                                      "close",  "foreign", "drip", "huge"};
  return names[kind];
}

// The fingerprint arrives as four hex words separated by spaces ("%20" decoded).
bool sParseFingerprint(const std::string& text, uint32_t words[4]) {
  std::istringstream in(text);
  std::string word;
  int n = 0;
  while (in >> word) {
    if (n == 4 || !lab::ParseNumber(word, 16, words[n]))
      return false;
    n++;
  }
  return n == 4;
}

}  // namespace

bool LabParseFault(const std::string& spec, LabFault& fault, std::string& error) {
  std::vector<std::string> parts;
  std::istringstream in(spec);
  for (std::string part; std::getline(in, part, ':');)
    parts.push_back(part);
  error = "bad fault '" + spec +
          "': expected OP:status:CODE, OP:nook, OP:okonly, OP:corrupt, OP:stall:SECONDS, OP:close, OP:foreign, "
          "OP:drip or OP:huge:MIB";
  if (parts.size() < 2)
    return false;
  static const char* const ops[] = {"*", "hi", "qu", "bird", "builds", "fix"};
  if (std::find(std::begin(ops), std::end(ops), parts[0]) == std::end(ops))
    return false;
  fault.op = parts[0];
  for (int k = LabFault::Status; k <= LabFault::Huge; k++) {
    if (parts[1] != sKindName(static_cast<LabFault::Kind>(k)))
      continue;
    fault.kind = static_cast<LabFault::Kind>(k);
    bool needsArg = fault.kind == LabFault::Status || fault.kind == LabFault::Stall || fault.kind == LabFault::Huge;
    uint32_t arg = 0;
    if (parts.size() != (needsArg ? 3u : 2u) || (needsArg && !lab::ParseNumber(parts[2], 10, arg)))
      return false;
    fault.arg = static_cast<int>(arg);
    return !(fault.kind == LabFault::Status && (arg < 100 || arg > 599));
  }
  return false;
}

namespace {

std::unique_ptr<httplib::Server> sMakeServer(const LabServerOptions& options, std::string& error) {
  if (options.tlsCertificate.empty() != options.tlsKey.empty())
    error = "HTTPS needs both a certificate and its key";
  if (options.tlsCertificate.empty())
    return std::unique_ptr<httplib::Server>(new httplib::Server);
  std::unique_ptr<httplib::SSLServer> tls(
      new httplib::SSLServer(options.tlsCertificate.c_str(), options.tlsKey.c_str()));
  if (!tls->is_valid())
    error = "cannot use certificate " + options.tlsCertificate + " with key " + options.tlsKey;
  return std::unique_ptr<httplib::Server>(tls.release());
}

std::shared_ptr<EVP_PKEY> sReadSigningKey(const std::string& path, std::string& error) {
  if (path.empty())
    return nullptr;
  FILE* file = std::fopen(path.c_str(), "r");
  EVP_PKEY* key = file ? PEM_read_PrivateKey(file, nullptr, nullptr, nullptr) : nullptr;
  if (file)
    std::fclose(file);
  if (!key || EVP_PKEY_id(key) != EVP_PKEY_ED25519) {
    EVP_PKEY_free(key);
    error = "cannot read an Ed25519 private key from " + path;
    return nullptr;
  }
  return std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free);
}

}  // namespace

LabServer::LabServer(const LabServerCatalogue& catalogue_, const LabServerOptions& options_)
    : catalogue(catalogue_), options(options_), server(sMakeServer(options_, setupError)) {
  if (setupError.empty())
    signingKey = sReadSigningKey(options.signingKey, setupError);
  server->Get(".*", [this](const httplib::Request& req, httplib::Response& res) { Handle(req, res); });
}

LabServer::~LabServer() {
  Stop();
  if (runner.joinable())
    runner.join();
}

bool LabServer::Bind(std::string& error) {
  if (!setupError.empty()) {
    error = setupError;
    return false;
  }
  if (options.port == 0)
    port = server->bind_to_any_port(options.host);
  else
    port = server->bind_to_port(options.host, options.port) ? options.port : -1;
  if (port <= 0) {
    error = "cannot listen on " + options.host + ":" + std::to_string(options.port);
    return false;
  }
  return true;
}

bool LabServer::Run() {
  // Either Stop sees `started` and waits for the end, or this sees `stopping`.
  started = true;
  bool ok = !stopping && server->listen_after_bind();
  finished = true;
  return ok;
}

bool LabServer::Start(std::string& error) {
  if (!Bind(error))
    return false;
  runner = std::thread([this] { Run(); });
  return true;
}

void LabServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
  }
  stopped.notify_all();
  // httplib ignores a stop that comes before it is listening, so wait for that.
  while (started && !finished) {
    if (server->is_running()) {
      server->stop();
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::string LabServer::Url() const {
  return (options.tlsCertificate.empty() ? "http://" : "https://") + options.host + ":" + std::to_string(port) + options.path; }

std::vector<std::string> LabServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex);
  return requests;
}

void LabServer::SetFaults(const std::vector<LabFault>& faults) {
  std::lock_guard<std::mutex> lock(mutex);
  options.faults = faults;
}

bool LabServer::FindFault(const std::string& op, LabFault& fault) const {
  std::lock_guard<std::mutex> lock(mutex);
  for (const LabFault& f : options.faults)
    if (f.op == "*" || f.op == op) {
      fault = f;
      return true;
    }
  return false;
}

void LabServer::LogLine(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex);
  if (options.log) {
    std::fprintf(options.log, "%s\n", text.c_str());
    std::fflush(options.log);
  }
}

void LabServer::Stall(int seconds) { Pause(std::chrono::seconds(seconds)); }

void LabServer::Pause(std::chrono::milliseconds time) {
  std::unique_lock<std::mutex> lock(mutex);
  stopped.wait_for(lock, time, [this] { return stopping.load(); });
}

void LabServer::Handle(const httplib::Request& req, httplib::Response& res) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    requests.push_back(req.target);
  }
  if (!options.redirect.empty()) {
    LogLine("GET " + req.target + " -> 302 to " + options.redirect + req.target);
    res.set_redirect(options.redirect + req.target, 302);
    return;
  }
  LabFault fault;
  bool faulty = req.path == options.path && FindFault(req.get_param_value("op"), fault);
  Reply reply;
  if (req.path != options.path)
    reply = Reply{404, "not found\n"};
  else if (!faulty || !FaultReply(fault, reply))
    reply = Answer(req);

  std::string note = faulty ? std::string(" fault ") + sKindName(fault.kind) : std::string();
  LogLine("GET " + req.target + " -> " + std::to_string(reply.status) + " " + std::to_string(reply.body.size()) +
          " bytes" + note);

  if (faulty && fault.kind == LabFault::Stall)
    Stall(fault.arg);
  res.status = reply.status;
  if (!faulty || !FaultStream(fault, reply, res))
    res.set_content(reply.body, "text/plain");
}

// Faults that replace the reply; false for those that change how it is sent.
bool LabServer::FaultReply(const LabFault& fault, Reply& reply) const {
  switch (fault.kind) {
    case LabFault::Status: reply = Reply{fault.arg, "refused\n"}; return true;
    case LabFault::NoOk: reply = Reply{200, sError("refused")}; return true;
    case LabFault::OkOnly: reply = Reply{200, "ok\n"}; return true;
    case LabFault::Corrupt: reply = Reply{200, "ok\n#corrupt#reply#\n"}; return true;
    case LabFault::Foreign:
      reply = Reply{200, "ok\n" + LabBase64Encode(std::string("\x01\x02\x03\x04", 4)) + "\n"};
      return true;
    default: return false;
  }
}

// Faults in the sending: a cut, a drip, an endless body. False for the others.
bool LabServer::FaultStream(const LabFault& fault, const Reply& reply, httplib::Response& res) {
  auto body = std::make_shared<std::string>(reply.body);
  if (fault.kind == LabFault::Close) {
    // Announce the whole body, send half of it, then drop the connection.
    res.set_content_provider(body->size(), "text/plain", [body](size_t, size_t, httplib::DataSink& sink) {
      sink.write(body->data(), body->size() / 2);
      return false;
    });
    return true;
  }
  if (fault.kind == LabFault::Drip) {
    res.set_content_provider(body->size(), "text/plain", [this, body](size_t offset, size_t, httplib::DataSink& sink) {
      Pause(std::chrono::milliseconds(500));
      if (stopping)
        return false;
      sink.write(body->data() + offset, 1);
      return true;
    });
    return true;
  }
  if (fault.kind != LabFault::Huge)
    return false;
  auto left = std::make_shared<uint64_t>(uint64_t(fault.arg) << 20);
  res.set_chunked_content_provider("text/plain", [this, left](size_t offset, httplib::DataSink& sink) {
    static const std::string chunk = std::string(65536, 'A');
    if (offset == 0)
      sink.write("ok\n", 3);
    if (*left == 0 || stopping) {
      sink.done();
      return true;
    }
    size_t n = *left < chunk.size() ? size_t(*left) : chunk.size();
    *left -= n;
    return sink.write(chunk.data(), n);
  });
  return true;
}

LabServer::Reply LabServer::Answer(const httplib::Request& req) const {
  std::string op = req.get_param_value("op");
  if (op == "hi")
    return Reply{200, "ok\n"};
  if (op == "fix")
    return AnswerFix(req);
  uint32_t serial = 0;
  if (!lab::ParseNumber(req.get_param_value("sn"), 16, serial))
    return Reply{200, sError(op.empty() ? "no operation" : "missing or bad serial number")};
  const CatalogueDevice* device = catalogue.FindDevice(serial);
  if (op != "qu" && op != "builds" && op != "bird")
    return Reply{200, sError("unknown operation '" + op + "'")};
  if (!device)
    return Reply{200, sError("unknown serial number " + sHex8(serial))};
  if (op == "qu")
    return Reply{200, "ok\n" + std::to_string(catalogue.LatestBuild(*device)) + "\n" + device->model + "\n"};
  if (op == "builds") {
    std::string body = "ok\n";
    for (const auto& b : catalogue.ModelBuilds(device->model))
      body += std::to_string(b.first) + ";" + b.second.version + "\n";
    return Reply{200, body};
  }
  return AnswerBird(req, *device);
}

LabServer::Reply LabServer::AnswerBird(const httplib::Request& req, const CatalogueDevice& device) const {
  if (req.get_param_value("fw") != device.model)
    return Reply{200, sError("firmware '" + req.get_param_value("fw") + "' does not fit " + sHex8(device.serial))};
  uint32_t build = 0;
  const CatalogueBuild* entry = nullptr;
  if (lab::ParseNumber(req.get_param_value("bld"), 10, build))
    entry = catalogue.FindBuild(device.model, build);
  if (!entry)
    return Reply{200, sError("no build '" + req.get_param_value("bld") + "' for " + device.model)};
  std::string file, bird, why;
  if (!LabReadFile(entry->path, file) || !LabBirdForModule(file, device.serial, bird, why, signingKey.get()))
    return Reply{500, sError("cannot produce " + entry->path + ": " + why)};
  return Reply{200, "ok\n" + LabBase64Encode(bird) + "\n"};
}

LabServer::Reply LabServer::AnswerFix(const httplib::Request& req) const {
  uint32_t words[4] = {0, 0, 0, 0};
  if (!sParseFingerprint(req.get_param_value("fp"), words))
    return Reply{200, sError("missing or bad fingerprint")};
  const CatalogueFix* fix = catalogue.FindFix(words);
  if (!fix)
    return Reply{200, sError("unknown fingerprint")};
  return Reply{200, "ok\n" + sHex8(fix->serial) + "\n" + std::to_string(fix->build) + "\n"};
}
