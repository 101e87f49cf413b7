// The arrive and cycle knobs: a module unplugged until it arrives, then away and back on schedule.
#include <gtest/gtest.h>

#include "LabConfig.h"
#include "sim/Module.h"

namespace {

lab::ModuleConfig Parsed(const std::string& spec) {
  lab::ModuleConfig config;
  std::string error;
  EXPECT_TRUE(lab::ParseModuleSpec(spec, config, error)) << error;
  return config;
}

}  // namespace

TEST(SimPresence, ArrivesLateThenLeavesAndReturnsOnItsSchedule) {
  lab::SimModule module(Parsed("serial=0000A001,port=9000,build=1100,arrive=100,cycle=200:300"), 0, "", 1000);
  lab::SimOutput out;
  EXPECT_FALSE(module.online());
  EXPECT_EQ(module.nextEvent(), 1100u);
  module.tick(1099, out);
  EXPECT_FALSE(module.online());
  module.tick(1100, out);
  EXPECT_TRUE(module.online());
  EXPECT_FALSE(out.reboot);
  module.tick(1299, out);
  EXPECT_TRUE(module.online());
  // Pulled out: the transport closes its link and takes none until it is back.
  module.tick(1300, out);
  EXPECT_FALSE(module.online());
  EXPECT_TRUE(out.reboot);
  lab::SimOutput back;
  module.tick(1600, back);
  EXPECT_TRUE(module.online());
  EXPECT_EQ(module.build(), 1100u);
  lab::SimOutput again;
  module.tick(1800, again);
  EXPECT_FALSE(module.online());
  EXPECT_TRUE(again.reboot);
}

TEST(SimPresence, CycleNeedsBothTimes) {
  lab::ModuleConfig config;
  std::string error;
  for (const char* bad : {"serial=1,port=9000,cycle=500", "serial=1,port=9000,cycle=0:500",
                          "serial=1,port=9000,cycle=500:0", "serial=1,port=9000,arrive=x"}) {
    EXPECT_FALSE(lab::ParseModuleSpec(bad, config, error)) << bad;
  }
}
