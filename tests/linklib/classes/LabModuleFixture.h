// Object-layer tests against simulated modules served in-process on loopback,
// inside a private network namespace, over the real link engine.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "LabConfig.h"
#include "sim/ModuleHost.h"
#include "LabNetwork.h"
#include "Module.h"
#include "LoopbackLink.h"

namespace objtest {

class LabModuleTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string why;
    if (!testsupport::EnterPrivateNetwork(&why))
      GTEST_SKIP() << why;
  }
  void TearDown() override {
    modules.clear();
    host.reset();
  }

  // Serves the module specs; each must give serial, address and port.
  void serve(const std::vector<std::string>& specs) {
    std::vector<std::string> args;
    for (const std::string& spec : specs)
      args.insert(args.end(), {"--module", spec});
    lab::LabConfig config;
    std::string error;
    ASSERT_TRUE(lab::ParseLabArguments(args, config, error)) << error;
    host.reset(new lab::LabModuleHost(config));
    ASSERT_TRUE(host->start(error)) << error;
  }

  // A module object connected to the lab module listening on `port`.
  Tessoral::Kovalink::Module& connect(uint16_t port, uint8_t address) {
    linkSpec spec = testsupport::LoopbackLink(port, port);
    spec.module = address;
    spec.router = address;
    modules.emplace_back(new Tessoral::Kovalink::Module(address, false, 0));
    EXPECT_EQ(modules.back()->connectFromSpec(spec), aErrNone);
    return *modules.back();
  }

  // Frames the module received so far whose data begins with `prefix`.
  std::vector<std::vector<uint8_t>> received(uint32_t serial, const std::vector<uint8_t>& prefix) {
    std::vector<std::vector<uint8_t>> found;
    for (const lab::SimFrame& frame : host->received(serial))
      if (frame.data.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), frame.data.begin()))
        found.push_back(frame.data);
    return found;
  }

  std::unique_ptr<lab::LabModuleHost> host;
  std::vector<std::unique_ptr<Tessoral::Kovalink::Module>> modules;
};

}  // namespace objtest
