// The demo lab as `updater-lab demo-config` prints it must be a lab that
// `updater-lab modules` accepts, and its catalogue must cover every module.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include "LabConfig.h"
#include "server/Catalogue.h"
#include "TestSupport.h"

namespace {

struct Output {
  int exitCode = -1;
  std::string text;
};

Output DemoConfig(const std::string& option) {
  testsupport::TempDir dir;
  std::string command =
      testsupport::BinPath("updater-lab") + " demo-config " + option + " >" + dir.file("out") + " 2>/dev/null";
  int status = std::system(command.c_str());
  Output out;
  out.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  out.text = testsupport::ReadFile(dir.file("out"));
  return out;
}

struct CatalogueLine {
  std::string model;
  unsigned code = 0;
  uint32_t build = 0;
  std::string version;
};

std::vector<CatalogueLine> ParseBuilds(const std::string& text) {
  std::vector<CatalogueLine> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    CatalogueLine entry;
    words >> entry.model >> entry.code >> entry.build >> entry.version;
    EXPECT_FALSE(words.fail()) << "unreadable catalogue line: " << line;
    lines.push_back(entry);
  }
  return lines;
}

TEST(LabDemoConfig, DescribesAValidLabWithDirectRoutedAndFaultyModules) {
  Output modules = DemoConfig("");
  ASSERT_EQ(modules.exitCode, 0);
  testsupport::TempDir dir;
  ASSERT_TRUE(testsupport::WriteFile(dir.file("lab.conf"), modules.text));
  lab::LabConfig config;
  std::string error;
  ASSERT_TRUE(lab::ParseConfigFile(dir.file("lab.conf"), config, error)) << error;
  ASSERT_TRUE(lab::ValidateConfig(config, error)) << error;

  int direct = 0, routers = 0, behind = 0, dropping = 0;
  std::set<unsigned> models;
  for (const lab::ModuleConfig& m : config.modules) {
    models.insert(m.model);
    if (m.router)
      ++routers;
    else if (m.behind)
      ++behind;
    else
      ++direct;
    if (m.has(lab::FaultKind::Drop))
      ++dropping;
  }
  EXPECT_EQ(direct, 5);
  EXPECT_EQ(routers, 1);
  EXPECT_EQ(behind, 2);
  EXPECT_EQ(models.size(), config.modules.size()) << "every module of another model";
  // Exactly one module is meant to fail its update; the others must update cleanly.
  EXPECT_EQ(dropping, 1);
  EXPECT_EQ(DemoConfig("--modules").text, modules.text);
}

TEST(LabDemoConfig, CatalogueOffersEveryModuleItsBuildAndANewerOne) {
  Output modules = DemoConfig("--modules");
  Output server = DemoConfig("--server");
  Output builds = DemoConfig("--builds");
  ASSERT_EQ(server.exitCode, 0);
  ASSERT_EQ(builds.exitCode, 0);
  testsupport::TempDir dir;
  ASSERT_TRUE(testsupport::WriteFile(dir.file("lab.conf"), modules.text));
  ASSERT_TRUE(testsupport::WriteFile(dir.file("lab-server.conf"), server.text));
  lab::LabConfig config;
  LabServerCatalogue catalogue;
  std::string error;
  ASSERT_TRUE(lab::ParseConfigFile(dir.file("lab.conf"), config, error)) << error;
  ASSERT_TRUE(catalogue.LoadConfig(dir.file("lab-server.conf"), error)) << error;

  std::map<std::string, std::vector<CatalogueLine>> byModel;
  for (const CatalogueLine& line : ParseBuilds(builds.text))
    byModel[line.model].push_back(line);
  for (const lab::ModuleConfig& m : config.modules) {
    const CatalogueDevice* device = catalogue.FindDevice(m.serial);
    ASSERT_NE(device, nullptr) << std::hex << m.serial;
    const std::vector<CatalogueLine>& lines = byModel[device->model];
    bool present = false, newer = false;
    for (const CatalogueLine& line : lines) {
      EXPECT_EQ(line.code, m.model) << "folder " << device->model << " holds builds of another model";
      if (line.build == m.build) {
        present = true;
        lab::ModuleConfig same;
        ASSERT_TRUE(lab::ParseModuleSpec("serial=1,version=" + line.version, same, error)) << error;
        EXPECT_EQ(same.version, m.version) << "build " << line.build << " is another version on the module";
      }
      newer = newer || line.build > m.build;
    }
    EXPECT_TRUE(present && newer) << device->model << ": builds around " << m.build;
  }
}

TEST(LabDemoConfig, RejectsUnknownOptions) {
  EXPECT_EQ(DemoConfig("--bogus").exitCode, 2);
  EXPECT_EQ(DemoConfig("--modules --server").exitCode, 2);
  Output help = DemoConfig("--help");
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.text.find("demo-config"), std::string::npos);
}

}  // namespace
