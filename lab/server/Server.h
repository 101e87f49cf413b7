// The lab update server: answers the update server protocol over HTTP from a
// LabServerCatalogue, logs one line per request, and can be told to misbehave.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/Catalogue.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

// A fault switch for one operation ("hi", "qu", "bird", "builds", "fix") or all ("*").
struct LabFault {
  enum Kind { Status, NoOk, OkOnly, Corrupt, Stall, Close, Foreign, Drip, Huge };
  std::string op = "*";
  Kind kind = Status;
  int arg = 0;  // the status code, the stall in seconds, or the size in MiB
};

// "OP:status:CODE", "OP:nook", "OP:okonly", "OP:corrupt", "OP:stall:SECONDS", "OP:close",
// "OP:foreign" (ok and the base64 of four bytes that are no BIRD file),
// "OP:drip" (the real reply, two bytes a second), "OP:huge:MIB" (ok and MIB MiB of
// base64 text, its length not announced).
bool LabParseFault(const std::string& spec, LabFault& fault, std::string& error);

struct LabServerOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port
  std::string path = "/cgi/u";
  std::vector<LabFault> faults;
  FILE* log = stdout;  // one line per request; null logs nothing
  // HTTPS: the certificate chain and its private key (PEM); both empty: HTTP.
  std::string tlsCertificate;
  std::string tlsKey;
  // Every request is answered with a redirect to this base URL and the request's target.
  std::string redirect;
  // Ed25519 private key (PEM) with which module-specific files are signed again.
  std::string signingKey;
};

class LabServer {
public:
  LabServer(const LabServerCatalogue& catalogue, const LabServerOptions& options);
  ~LabServer();
  LabServer(const LabServer&) = delete;
  LabServer& operator=(const LabServer&) = delete;

  bool Bind(std::string& error);
  // Serves until Stop(); call after Bind.
  bool Run();
  // Bind and Run on a background thread (in-process use by tests).
  bool Start(std::string& error);
  // Makes Run return, also interrupting stalled replies; safe from any
  // thread, also before Run has started.
  void Stop();

  int Port() const { return port; }
  std::string Url() const;
  // The request targets received so far ("/cgi/u?op=hi&rv=2&"), in order.
  std::vector<std::string> Requests() const;
  void SetFaults(const std::vector<LabFault>& faults);

private:
  struct Reply {
    int status = 200;
    std::string body;
  };
  void Handle(const httplib::Request& req, httplib::Response& res);
  Reply Answer(const httplib::Request& req) const;
  bool FaultReply(const LabFault& fault, Reply& reply) const;
  bool FaultStream(const LabFault& fault, const Reply& reply, httplib::Response& res);
  Reply AnswerBird(const httplib::Request& req, const CatalogueDevice& device) const;
  Reply AnswerFix(const httplib::Request& req) const;
  bool FindFault(const std::string& op, LabFault& fault) const;
  void Stall(int seconds);
  // Waits, or less when the server stops meanwhile.
  void Pause(std::chrono::milliseconds time);
  void LogLine(const std::string& text);

  const LabServerCatalogue& catalogue;
  LabServerOptions options;
  std::unique_ptr<httplib::Server> server;
  std::shared_ptr<EVP_PKEY> signingKey;
  std::string setupError;  // why the server cannot run, said by Bind
  std::thread runner;
  int port = 0;

  std::atomic<bool> started{false};
  std::atomic<bool> finished{false};
  std::atomic<bool> stopping{false};
  mutable std::mutex mutex;  // guards the fields below and the stall waits
  std::condition_variable stopped;
  std::vector<std::string> requests;
};
