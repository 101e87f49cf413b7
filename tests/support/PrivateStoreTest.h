// Fixture for end-to-end runs of the updater program: each test in a private
// network namespace, with a private store bound over ~/.tessoral, and the real
// store checked afterwards to be as it was.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "LabServerSupport.h"
#include "PrivateNetwork.h"
#include "TestSupport.h"

namespace testsupport {

class PrivateStoreTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!IsRoot())
      GTEST_SKIP() << "needs root for a private network namespace and a private store";
    ASSERT_TRUE(EnterPrivateNetwork());
    privateStore.reset(new PrivateStore(storeDir.path()));
    ASSERT_TRUE(privateStore->ok()) << privateStore->error();
    realBefore = privateStore->RealSnapshot();
  }
  void TearDown() override {
    if (privateStore) {
      EXPECT_EQ(privateStore->RealSnapshot(), realBefore) << "the real ~/.tessoral was changed";
    }
  }
  // The built updater with `args`; its output captured, on a pseudo-terminal with `terminal`.
  ProgramResult Updater(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                        bool terminal = false) {
    std::vector<std::string> argv = {BinPath("updater")};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, env, terminal);
  }

  TempDir storeDir;
  std::unique_ptr<PrivateStore> privateStore;
  std::vector<std::string> realBefore;
};

}  // namespace testsupport
