// What tests that use the namespace fixture rely on.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "LabNetwork.h"

namespace {

bool NamespaceExists(const std::string& name) { return access(("/run/netns/" + name).c_str(), F_OK) == 0; }

TEST(LabNetwork, ProgramSideHasOneInterfaceAndAPrivateStore) {
  std::string programNs, labNs;
  {
    testsupport::LabNetwork net;
    if (!net.ok())
      GTEST_SKIP() << net.error();
    programNs = net.programNamespace();
    labNs = net.labNamespace();
    EXPECT_TRUE(NamespaceExists(programNs));
    EXPECT_TRUE(NamespaceExists(labNs));
    std::string store = testsupport::LabNetwork::HomeDir() + "/.tessoral";
    testsupport::RunResult r = net.run(
        "sh", {"-c", "echo kept > \"$0/probe\" && ip -4 -o addr show | grep -vc ' lo ' && "
                     "ip -4 -o addr show | grep -c \"$1/\" && grep -c \" $0 \" /proc/mounts",
               store, net.programAddress()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "1\n1\n1\n");
    EXPECT_EQ(testsupport::ReadFile(net.storeDir() + "/probe"), "kept\n");
    // The bind mount stays inside the program's own mount namespace.
    EXPECT_EQ(testsupport::ReadFile("/proc/self/mounts").find(" " + store + " "), std::string::npos);

    testsupport::RunResult failing = net.run("sh", {"-c", "echo out; echo err >&2; exit 3"});
    EXPECT_EQ(failing.exitCode, 3);
    EXPECT_EQ(failing.out, "out\n");
    EXPECT_EQ(failing.err, "err\n");

    auto start = std::chrono::steady_clock::now();
    testsupport::RunResult slow = net.run("sleep", {"5"}, 300);
    EXPECT_TRUE(slow.timedOut);
    EXPECT_EQ(slow.exitCode, -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  }
  EXPECT_FALSE(NamespaceExists(programNs));
  EXPECT_FALSE(NamespaceExists(labNs));
}

TEST(LabNetwork, RemovesNamespacesLeftByDeadRuns) {
  if (!testsupport::IsRoot())
    GTEST_SKIP() << "needs root for network namespaces";
  pid_t child = fork();
  if (child == 0)
    _exit(0);
  waitpid(child, nullptr, 0);  // a pid that no longer runs
  std::string stale = "ulab-p-" + std::to_string(child) + "-1";
  ASSERT_EQ(std::system(("ip netns add " + stale).c_str()), 0);
  ASSERT_TRUE(NamespaceExists(stale));
  testsupport::LabNetwork net;
  EXPECT_FALSE(NamespaceExists(stale));
  if (NamespaceExists(stale))
    std::system(("ip netns del " + stale).c_str());
}

}  // namespace
