// The object layer against simulated lab modules, found by discovery inside private namespaces.
#include <gtest/gtest.h>

#include <string>

#include "LabNetwork.h"
#include "Module.h"
#include "ModuleCommands.h"
#include "SystemClass.h"

using namespace Tessoral::Kovalink;
using testsupport::LabNetwork;
using testsupport::NetnsScope;

TEST(ModuleLab, DiscoversByModelOrSerialAndReadsTheSystemEntity) {
  LabNetwork net;
  if (!net.ok())
    GTEST_SKIP() << net.error();
  ASSERT_GE(net.startLab({"modules", "--module", "serial=0000BEEF,model=17,address=4,port=9000",
                          "--module", "serial=40F5849A,model=13,address=6,port=9002,version=3.0.7,build=99528558,"
                          "name=BenchSupply"}),
            0)
      << net.error();
  // This thread and the link workers it starts live in the program namespace.
  NetnsScope inside(net.programNamespace());
  ASSERT_TRUE(inside.ok());

  // By model: the enumeration passes over the other model.
  Link byModel("model");
  ASSERT_EQ(byModel.discoverAndConnect(linkTypeTCPIP, 0, 13), aErrNone);
  linkSpec spec{};
  ASSERT_EQ(byModel.getLinkSpecifier(&spec), aErrNone);
  EXPECT_EQ(spec.serialNumber, 0x40F5849Au);
  Link noSuchModel("none");
  EXPECT_EQ(noSuchModel.discoverAndConnect(linkTypeTCPIP, 0, 24), aErrNotFound);

  // By serial number, learning the module's address on the way.
  Module module(2);
  ASSERT_EQ(module.connect(linkTypeTCPIP, 0x40F5849A), aErrNone);
  EXPECT_EQ(module.getModuleAddress(), 6);
  SystemClass system;
  system.init(&module, 0);
  uint32_t serial = 0, version = 0;
  uint8_t model = 0;
  EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, 0x40F5849Au);
  EXPECT_EQ(system.getModel(&model), aErrNone);
  EXPECT_EQ(model, 13);
  EXPECT_EQ(system.getVersion(&version), aErrNone);
  EXPECT_EQ(version, 0x30000007u);
  uint8_t name[64] = {0};
  size_t count = 0;
  ASSERT_EQ(system.getName(name, sizeof(name), &count), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(name), count), "BenchSupply");
  // Index 1 of the system entity does not exist: the module's own error code comes back.
  SystemClass second;
  second.init(&module, 1);
  EXPECT_EQ(second.getSerialNumber(&serial), aErrIndexRange);

  EXPECT_EQ(module.hasUEI(cmdSYSTEM, systemSerialNumber, 0, 0x40), 1);
  EXPECT_EQ(module.hasUEI(cmdSYSTEM, systemSerialNumber, 0, 0x80), 0);
  uint8_t quantity = 0;
  EXPECT_EQ(module.classQuantity(cmdSYSTEM, &quantity), aErrNone);
  EXPECT_EQ(quantity, 1);
  const uint8_t echo[] = {'p', 'i', 'n', 'g'};
  EXPECT_EQ(module.debug(echo, sizeof(echo)), aErrNone);
  EXPECT_EQ(module.disconnect(), aErrNone);
  EXPECT_FALSE(module.isConnected());
}
