// The fleet's own logic, below what the lab end to end tests reach: which modules share a
// link, and that results and lines stay with their module when modules report at once.
// No module is contacted: the file fails to load before any connection.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "FleetConsole.h"
#include "RecordingDisplay.h"
#include "TestSupport.h"
#include "UserNotice.h"
#include "update/FleetUpdate.h"

namespace {

FirmwareUpdate::Route Direct(uint32_t serial, uint32_t specRouter = 0) {
  FirmwareUpdate::Route route;
  route.serialNumber = serial;
  route.spec.type = linkTypeTCPIP;
  route.spec.serialNumber = serial;
  route.spec.routerSerialNumber = specRouter;
  return route;
}

// Counts how many modules are between their first line and their result.
class CountingObserver : public FleetObserver {
public:
  explicit CountingObserver(FleetObserver& inner) : inner_(inner) {}
  void module_message(uint32_t serial, int level, const char* text) override {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (active_.insert(serial).second) peak_ = std::max(peak_, active_.size());
    }
    inner_.module_message(serial, level, text);
  }
  void module_progress(uint32_t serial, double fraction, const char* label) override {
    inner_.module_progress(serial, fraction, label);
  }
  void module_idle(uint32_t serial) override { inner_.module_idle(serial); }
  void module_finished(const ModuleOutcome& outcome) override {
    {
      std::lock_guard<std::mutex> hold(lock_);
      active_.erase(outcome.serialNumber);
      finished_.push_back(outcome.serialNumber);
    }
    inner_.module_finished(outcome);
  }
  size_t peak() const { return peak_; }
  std::vector<uint32_t> finished() const { return finished_; }

private:
  FleetObserver& inner_;
  std::mutex lock_;
  std::set<uint32_t> active_;
  size_t peak_ = 0;
  std::vector<uint32_t> finished_;
};

}  // namespace

TEST(FleetUpdate, ModulesShareAGroupOnlyBehindOneRouter) {
  std::vector<FirmwareUpdate::Route> routes = {Direct(0xA1, 0xA1), Direct(0xA2), Direct(0xB1, 0xD0),
                                               Direct(0xA3, 0xA3), Direct(0xB2, 0xD0)};
  FirmwareUpdate::Route behind;
  behind.serialNumber = 0xC1;
  behind.routerSerialNumber = 0xD1;
  behind.moduleAddress = 4;
  routes.push_back(behind);
  behind.serialNumber = 0xC2;
  routes.push_back(behind);
  const std::vector<std::vector<size_t>> expected = {{0}, {1}, {2, 4}, {3}, {5, 6}};
  EXPECT_EQ(FleetUpdate::Groups(routes), expected);
}

TEST(FleetUpdate, EachModuleKeepsItsOwnResultAndLinesWithAtMostJAtOnce) {
  testsupport::TempDir store;
  RecordingDisplay display;
  FILE* progress = tmpfile();
  ASSERT_NE(progress, nullptr);
  FleetConsole console(display, progress);
  CountingObserver counting(console);
  std::vector<FirmwareUpdate::Route> routes;
  for (uint32_t serial = 0xF00; serial < 0xF20; serial++) routes.push_back(Direct(serial));
  FleetUpdate::Request request;
  request.birdFile = store.file("missing.bird");
  request.parallel = 3;

  std::vector<ModuleOutcome> outcomes = FleetUpdate("http://127.0.0.1:1/cgi/u", store.path(), counting).Run(routes, request);
  fclose(progress);

  ASSERT_EQ(outcomes.size(), routes.size());
  for (size_t i = 0; i < routes.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(outcomes[i].serialNumber, routes[i].serialNumber);
    EXPECT_FALSE(outcomes[i].succeeded);
    EXPECT_EQ(outcomes[i].error, aErrParse);
    EXPECT_NE(outcomes[i].errorText.find("missing.bird"), std::string::npos) << outcomes[i].errorText;
  }
  EXPECT_LE(counting.peak(), 3u);
  std::vector<uint32_t> finished = counting.finished();
  std::sort(finished.begin(), finished.end());
  EXPECT_EQ(finished.size(), routes.size());
  EXPECT_TRUE(std::adjacent_find(finished.begin(), finished.end()) == finished.end()) << "a module finished twice";
  // Every line names its module and reached the display whole.
  size_t fileLines = 0;
  for (const auto& message : display.messages) {
    char serial[9] = {0};
    ASSERT_EQ(sscanf(message.second.c_str(), "%8[0-9A-F]: ", serial), 1) << message.second;
    if (message.second.find("Updating from Birdfile: ") != std::string::npos) fileLines++;
  }
  EXPECT_EQ(fileLines, routes.size());
}

// The link core's notices come from the module threads: while the fleet runs they
// take the console's lock with every other line (TSan sees a bypass), and the
// route the program had is back afterwards.
TEST(FleetConsole, NoticesFromModuleThreadsJoinTheConsoleAndTheRouteIsRestored) {
  RecordingDisplay display, before;
  FILE* progress = tmpfile();
  ASSERT_NE(progress, nullptr);
  UserNotice::SetDisplay(&before);
  {
    FleetConsole console(display, progress);
    FleetConsole::Notices notices(console);
    std::vector<std::thread> threads;
    for (uint32_t serial = 1; serial <= 4; serial++)
      threads.emplace_back([&console, serial] {
        for (int i = 0; i < 50; i++) {
          UserNotice::error("Permission denied on USB device %u", serial);
          console.module_message(serial, UpdaterDisplayInterface::Info, "working");
        }
      });
    for (std::thread& thread : threads) thread.join();
  }
  fclose(progress);
  EXPECT_EQ(display.Errors().size(), 200u);
  EXPECT_EQ(display.Infos().size(), 200u);
  UserNotice::error("after the fleet");
  EXPECT_EQ(before.Errors(), std::vector<std::string>{"after the fleet"});
  UserNotice::SetDisplay(nullptr);
}
