// Shared pieces of the UpdaterLib tests that talk to an update server.
#pragma once
#include <httplib.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/Server.h"
#include "LabServerSupport.h"
#include "Log.h"
#include "PrivateNetwork.h"
#include "TestSupport.h"

#define ENTER_PRIVATE_NETWORK_OR_SKIP()                   \
  do {                                                    \
    std::string whyNot;                                   \
    if (!testsupport::EnterPrivateNetwork(&whyNot))       \
      GTEST_SKIP() << whyNot;                             \
  } while (0)

// Sends the debug log of the given packages to a temporary file for the test's duration.
class LogCapture {
public:
  explicit LogCapture(uint32_t packages) : file(std::tmpfile()), mask(packages) {
    Log::SetOutput(file);
    Log::ActivatePackage(mask);
  }
  ~LogCapture() {
    Log::SetOutput(nullptr);
    Log::DeactivatePackage(mask);
    std::fclose(file);
  }
  std::string text() const {
    std::fflush(file);
    std::rewind(file);
    std::string all;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof(buf), file)) > 0;)
      all.append(buf, n);
    return all;
  }

private:
  FILE* file;
  uint32_t mask;
};

// A server that answers every request with one canned status and body.
class ScriptedServer {
public:
  ScriptedServer() {
    server.Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard<std::mutex> lock(mutex);
      target = req.target;
      res.status = status;
      res.set_content(body, "text/plain");
    });
    port = server.bind_to_any_port("127.0.0.1");
    runner = std::thread([this] { server.listen_after_bind(); });
  }
  ~ScriptedServer() {
    server.stop();
    runner.join();
  }
  void Answer(int status_, const std::string& body_) {
    std::lock_guard<std::mutex> lock(mutex);
    status = status_;
    body = body_;
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port) + "/cgi/u"; }
  std::string lastTarget() {
    std::lock_guard<std::mutex> lock(mutex);
    return target;
  }

private:
  std::mutex mutex;
  std::string target;
  httplib::Server server;
  std::thread runner;
  int port = 0;
  int status = 200;
  std::string body;
};

// A catalogue directory with BIRD files per model and a running lab server.
class LabFixture {
public:
  LabFixture() = default;
  void AddBird(const std::string& model, uint32_t build, const std::string& version, const std::string& image) {
    std::string folder = dir.file(model);
    mkdir(folder.c_str(), 0755);
    testsupport::WriteFile(folder + "/" + std::to_string(build) + ".bird",
                           testsupport::MakeBirdBytes(build, version, model, 0, image));
  }
  bool Start(const std::vector<std::string>& entries, std::string& error) {
    if (!catalogue.LoadDirectory(dir.path(), error))
      return false;
    for (const std::string& e : entries)
      if (!catalogue.AddEntry(e, error))
        return false;
    LabServerOptions options;
    options.log = nullptr;
    server.reset(new LabServer(catalogue, options));
    return server->Start(error);
  }
  testsupport::TempDir dir;
  LabServerCatalogue catalogue;
  std::unique_ptr<LabServer> server;
};
