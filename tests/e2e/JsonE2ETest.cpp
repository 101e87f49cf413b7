// --json end to end: the updater's one document on stdout for -D, -B, -G and
// -U against lab modules and the lab update server in private network
// namespaces, each checked against the installed schema and for its content.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "BirdTestHelpers.h"
#include "JsonSchemaCheck.h"
#include "LabNetwork.h"
#include "LabServerSupport.h"
#include "PrivateStoreTest.h"
#include "TestSupport.h"

using nlohmann::json;
using testsupport::LabNetwork;
using testsupport::RunResult;
using testsupport::TempDir;

namespace {

json Schema() { return json::parse(testsupport::ReadFile(testsupport::SourcePath("packaging/updater-result.schema.json"))); }

// A generic Holvex file of 4 KB of firmware.
std::string Bird(uint32_t build) { return birdtest::GenericHolvexBird(build, "1.2.3", 4096, 0xC0FFEE); }

// One lab for the whole suite: modules on TCP/IP and the update server.
class JsonE2E : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    net = new LabNetwork;
    files = new TempDir;
    if (!net->ok()) return;
    mkdir(files->file("Holvex").c_str(), 0755);
    testsupport::WriteFile(files->file("Holvex/1100.bird"), Bird(1100));
    testsupport::WriteFile(files->file("Holvex/1234.bird"), Bird(1234));
    testsupport::WriteFile(files->file("generic.bird"), Bird(1234));
    modules = net->startLab({"modules", "--module",
                             "serial=0000BEEF,model=17,address=4,port=9000,version=2.1.26,build=1100,reboot-delay=200",
                             "--module", "serial=00000A02,model=17,port=9002,fault=bad-sum", "--module",
                             "serial=00000A16,model=17,port=9006,build=900,fault=old-build", "--module",
                             "serial=0BADC0DE,model=5,port=9004,fault=refuse-link", "--module",
                             "serial=00000A0D,model=17,port=9008,fault=drop:data@60"});
    server = net->startLab({"server", "--catalogue", files->path(), "--device", "0000BEEF:Holvex", "--device",
                            "00000A16:Holvex", "--host",
                            net->labAddress(), "--port", "8080"});
  }
  static void TearDownTestSuite() {
    delete net;
    delete files;
  }
  void SetUp() override {
    if (!net->ok()) GTEST_SKIP() << net->error();
    ASSERT_GE(modules, 0) << net->error();
    ASSERT_GE(server, 0) << net->error();
  }

  // Runs the updater with --json and `args`; the document it printed, checked
  // to be all of stdout and to fit the schema.
  json Run(std::vector<std::string> args, RunResult& r) {
    args.insert(args.begin(), "--json");
    r = net->runUpdater(args, 60000);
    json document;
    try {
      document = json::parse(r.out);  // throws on anything before or after the document
    } catch (const json::exception& e) {
      ADD_FAILURE() << "stdout is not one JSON document: " << e.what() << "\n" << r.out << r.err;
      return document;
    }
    std::vector<std::string> problems = jsonschema::Problems(Schema(), document);
    EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems) << "\n" << r.out;
    EXPECT_EQ(document["exit_code"], r.exitCode) << r.out;
    // Every message went to stderr, the banner first.
    EXPECT_EQ(r.err.find("Updater (Version: "), 0u) << r.err;
    return document;
  }
  std::string Url() const { return "http://" + net->labAddress() + ":8080/cgi/u"; }

  static LabNetwork* net;
  static TempDir* files;
  static int modules;
  static int server;
};

LabNetwork* JsonE2E::net = nullptr;
TempDir* JsonE2E::files = nullptr;
int JsonE2E::modules = -1;
int JsonE2E::server = -1;

const json* Find(const json& list, const std::string& serial) {
  for (const json& item : list)
    if (item["serial"] == serial) return &item;
  return nullptr;
}

}  // namespace

// The checker must refuse what the schema forbids, or every check below would pass vacuously.
TEST(JsonSchemaCheck, RefusesDocumentsTheSchemaForbids) {
  json good = {{"command", "update"}, {"exit_code", 1}, {"seconds", 0.5}, {"error", {{"code", 29}, {"text", "x"}}},
               {"results", json::array({{{"serial", "0000BEEF"}, {"model", ""}, {"build_before", 0},
                                         {"version_before", ""}, {"build_after", 0}, {"version_after", ""},
                                         {"bytes_sent", 0}, {"state", "untouched"}, {"succeeded", false},
                                         {"seconds", 0.25}}})}};
  EXPECT_TRUE(jsonschema::Problems(Schema(), good).empty()) << ::testing::PrintToString(jsonschema::Problems(Schema(), good));

  json bad = good;
  bad.erase("exit_code");
  EXPECT_EQ(jsonschema::Problems(Schema(), bad), std::vector<std::string>{"$: lacks exit_code"});
  bad = good;
  bad["command"] = "flash";
  EXPECT_EQ(jsonschema::Problems(Schema(), bad).size(), 1u);
  bad = good;
  bad["results"][0]["build_after"] = "1234";  // through items and $ref
  EXPECT_EQ(jsonschema::Problems(Schema(), bad).size(), 1u);
  bad = good;
  bad["error"].erase("text");
  EXPECT_EQ(jsonschema::Problems(Schema(), bad).size(), 1u);
  bad = good;
  bad["verbose"] = true;  // a member the schema does not describe
  EXPECT_EQ(jsonschema::Problems(Schema(), bad).size(), 1u);
}

TEST_F(JsonE2E, DiscoverListsEveryModuleWithItsAddressAndMarksTheOneThatRefusesItsLink) {
  RunResult r;
  json d = Run({"-D", "-t", "TCPIP"}, r);
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(d["command"], "discover");
  EXPECT_EQ(d["transport"], "TCPIP");
  EXPECT_FALSE(d.contains("error"));
  ASSERT_EQ(d["modules"].size(), 5u) << r.out;
  const json* beef = Find(d["modules"], "0000BEEF");
  ASSERT_NE(beef, nullptr) << r.out;
  EXPECT_EQ((*beef)["model"], "Holvex");
  EXPECT_EQ((*beef)["model_code"], 17);
  EXPECT_EQ((*beef)["module_address"], 4);
  EXPECT_EQ((*beef)["version"], "2.1.26");
  EXPECT_EQ((*beef)["build"], 1100);
  EXPECT_EQ((*beef)["ip"], net->labAddress());
  EXPECT_EQ((*beef)["port"], 9000);
  EXPECT_FALSE(beef->contains("error"));
  // Reached directly: it has no router.
  for (const json& module : d["modules"]) EXPECT_FALSE(module.contains("router_serial")) << module;
  const json* refusing = Find(d["modules"], "0BADC0DE");
  ASSERT_NE(refusing, nullptr) << r.out;
  EXPECT_EQ((*refusing)["error"]["code"], 25) << r.out;
  EXPECT_NE(r.err.find("Searching for Kovalink devices\nDiscovered Devices: (TCPIP)\n"), std::string::npos) << r.err;
}

TEST_F(JsonE2E, BuildListAndDownloadAreInTheDocument) {
  RunResult r;
  json d = Run({"-B", "-d", "0000BEEF", "-u", Url()}, r);
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(d["command"], "builds");
  EXPECT_EQ(d["serial"], "0000BEEF");
  EXPECT_EQ(d["builds"], json::parse(R"([{"build":1100,"version":"1.2.3"},{"build":1234,"version":"1.2.3"}])")) << r.out;

  d = Run({"-G", "-d", "0000BEEF", "-b", "1100", "-u", Url()}, r);
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(d["command"], "get");
  // The path as the updater saw its store, in the lab's home.
  const std::string path = d["download"].value("path", "");
  const std::string tail = "/.tessoral/updater/0000BEEF/1100.bird";
  EXPECT_TRUE(path.size() > tail.size() && path.compare(path.size() - tail.size(), tail.size(), tail) == 0) << r.out;
  d["download"].erase("path");
  EXPECT_EQ(d["download"], json({{"serial", "0000BEEF"}, {"build_requested", 1100}, {"build", 1100},
                                 {"succeeded", true}, {"file", "1100.bird"}}));
  struct stat st;
  EXPECT_EQ(stat((net->storeDir() + "/updater/0000BEEF/1100.bird").c_str(), &st), 0);

  // A build the server does not list: the failure, its line and code, the same exit code.
  d = Run({"-G", "-d", "0000BEEF", "-b", "999", "-u", Url()}, r);
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_EQ(d["download"]["succeeded"], false);
  EXPECT_EQ(d["download"]["build"], 0);
  EXPECT_FALSE(d["download"].contains("path")) << r.out;
  EXPECT_EQ(d["error"], json::parse(R"({"code":3,"text":"No valid build 999"})")) << r.out;
}

// A run refused before or instead of its work carries the code the library gives the
// same cause, never 0: the lines and exit codes stay as they were.
TEST_F(JsonE2E, EveryRefusalCarriesItsCode) {
  const std::string closed = "http://" + net->labAddress() + ":8089/cgi/u";  // nothing listens there
  const struct {
    std::vector<std::string> args;
    int code;
    std::string text;  // empty: the server's own line
  } cases[] = {
      {{"-G"}, 2, "-G must specify a specific device via -d"},
      {{"-U"}, 2, "Must specify the specific device to be updated"},
      {{"-B"}, 2, "Error must supply a serial number for the List Builds command"},
      {{"-N"}, 2, "Must specify the serial port used for connecting"},
      {{"-I", "-d", "0000F00D"}, 3, ""},
      {{"-U", "-d", "all", "-t", "USB"}, 3, "No modules to update"},
      {{"-U", "--dry-run", "-d", "all", "-t", "USB"}, 3, "No modules to update"},
      {{"-B", "-d", "0000F00D", "-u", Url()}, 3, ""},
      {{"-G", "-d", "0000BEEF", "-u", closed}, 25, ""},
      {{"-G", "-U", "-d", "0000BEEF", "-u", closed}, 25, "Download failed; the update was not started"},
      {{"-G", "-U", "-d", "0000BEEF,00000A16", "-u", closed}, 25, "Download failed; the update was not started"},
      // A plan with problems: the first module's, with the code its update would have failed with.
      {{"-U", "--dry-run", "-t", "TCPIP", "-d", "0000BEEF,0000F00D,00000A16", "-f", files->file("generic.bird")},
       3,
       "not found by discovery"},
      {{"-U", "--dry-run", "-t", "TCPIP", "-d", "0000BEEF", "-f", files->file("missing.bird")},
       16,
       "Failed to load bird file " + files->file("missing.bird") + ": No such file or directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    RunResult r;
    const json error = Run(c.args, r).value("error", json::object());
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(error.value("code", -1), c.code) << r.out;
    if (!c.text.empty()) {
      EXPECT_EQ(error.value("text", ""), c.text) << r.out;
    }
    EXPECT_NE(r.err.find(error.value("text", "?") + "\n"), std::string::npos) << r.err;
  }
  // A store that cannot be made: the code an update gives a store it cannot read.
  const std::string store = net->storeDir() + "/updater", aside = store + ".aside";
  mkdir(store.c_str(), 0755);
  ASSERT_EQ(rename(store.c_str(), aside.c_str()), 0);
  testsupport::WriteFile(store, "a file where the store should be");
  RunResult r;
  json d = Run({"-I"}, r);
  unlink(store.c_str());
  ASSERT_EQ(rename(aside.c_str(), store.c_str()), 0);
  EXPECT_EQ(d["error"]["code"], 6) << r.out;
}

// A module whose download failed was never reached: its result says what discovery knew of it.
TEST_F(JsonE2E, FailedDownloadStillNamesTheModule) {
  const std::string closed = "http://" + net->labAddress() + ":8089/cgi/u";  // nothing listens there
  RunResult r;
  json d = Run({"-G", "-U", "-t", "TCPIP", "-d", "all", "-u", closed}, r);
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  const json* beef = Find(d["results"], "0000BEEF");
  ASSERT_NE(beef, nullptr) << r.out;
  EXPECT_EQ((*beef)["error"]["text"], "Download failed; the update was not started") << r.out;
  EXPECT_EQ((*beef)["model"], "Holvex") << r.out;
  EXPECT_GE((*beef)["build_before"], 1100) << r.out;  // 1234 once an update below has run
  EXPECT_NE((*beef)["version_before"], "") << r.out;
  // Listed modules are found without reading them: the model at least.
  d = Run({"-G", "-U", "-d", "0000BEEF,00000A16", "-u", closed}, r);
  ASSERT_EQ(d["results"].size(), 2u) << r.out;
  EXPECT_EQ(d["results"][1]["model"], "Holvex") << r.out;

  // A station: the result holds the build its "started" event named.
  r = net->run("/usr/bin/timeout", {"-s", "TERM", "10", testsupport::BinPath("updater"), "--json", "-U", "--watch",
                                    "-G", "-t", "TCPIP", "-d", "0000BEEF", "-u", closed}, 30000);
  json started, result;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    const json event = json::parse(line, nullptr, false);
    if (event.is_discarded() || event.value("serial", "") != "0000BEEF") continue;
    if (event["event"] == "started" && started.is_null()) started = event;
    if (event["event"] == "result" && result.is_null()) result = event;
  }
  ASSERT_FALSE(result.is_null()) << r.out << r.err;
  EXPECT_EQ(result["succeeded"], false) << r.out;
  EXPECT_EQ(result["model"], "Holvex") << r.out;
  EXPECT_EQ(result["build_before"], started["build_before"]) << r.out;
  EXPECT_GE(result["build_before"], 1100) << r.out;
}

TEST_F(JsonE2E, UpdateReportsEachModulesResult) {
  RunResult r;
  json d = Run({"-G", "-U", "-d", "0000BEEF", "-u", Url()}, r);
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(d["command"], "update");
  EXPECT_EQ(d["download"]["build"], 1234);
  EXPECT_EQ(d["build_requested"], 1234);  // -G hands its build to the update
  ASSERT_EQ(d["results"].size(), 1u) << r.out;
  const json& ok = d["results"][0];
  EXPECT_EQ(ok["serial"], "0000BEEF");
  EXPECT_EQ(ok["succeeded"], true);
  EXPECT_EQ(ok["build_after"], 1234);
  EXPECT_EQ(ok["version_after"], "1.2.3");
  EXPECT_GT(ok["seconds"].get<double>(), 0.0);
  EXPECT_LE(ok["seconds"].get<double>(), d["seconds"].get<double>());
  EXPECT_NE(r.err.find("Module 0000BEEF now runs 1.2.3 (build 1234)\n"), std::string::npos) << r.err;
  // One module's result holds what a fleet's does: who it was, where, what it ran before.
  EXPECT_EQ(ok["model"], "Holvex");
  EXPECT_EQ(ok["build_before"], 1100);
  EXPECT_EQ(ok["version_before"], "2.1.26");
  EXPECT_EQ(ok["place"], json({{"transport", "TCPIP"}, {"ip", net->labAddress()}, {"port", 9000}})) << r.out;
  EXPECT_EQ(ok["state"], "updated");
  EXPECT_GT(ok["bytes_sent"].get<uint64_t>(), 4096u) << r.out;  // the loader and 4 KB of firmware
  // The file -G stored is the one -U installed: one image.
  EXPECT_EQ(d["images"], json::parse(R"([{"file":"1234.bird","signature":"unsigned",
                                         "trusted_keys_installed":false,"accepted":true}])"))
      << r.out;

  // The stored file named again through the store's bind mount is still that one image.
  d = Run({"-G", "-U", "-d", "0000BEEF", "-u", Url(), "-f", net->storeDir() + "/updater/0000BEEF/1234.bird"}, r);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(d["images"].size(), 1u) << r.out;

  // A module that refuses the transfer's byte sum: the link library's code and the user's line.
  d = Run({"-U", "-d", "00000A02", "-f", files->file("generic.bird")}, r);
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  ASSERT_EQ(d["results"].size(), 1u) << r.out;
  const json& failed = d["results"][0];
  EXPECT_EQ(failed["succeeded"], false);
  EXPECT_EQ(failed["build_after"], 0);
  const json expected = {{"code", 29}, {"text", "Firmware update of module [00000A02] failed [29, aErrInvalidOption]"}};
  EXPECT_EQ(failed["error"], expected) << r.out;
  EXPECT_EQ(d["error"], expected) << r.out;
  // Its loader's first block was refused: nothing was started in it.
  EXPECT_EQ(failed["model"], "Holvex") << r.out;
  EXPECT_EQ(failed["state"], "untouched") << r.out;
  EXPECT_EQ(failed["bytes_sent"], 0) << r.out;

  // A module back with its old firmware: what it runs is the result's build.
  d = Run({"-U", "-d", "00000A16", "-f", files->file("generic.bird")}, r);
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  ASSERT_EQ(d["results"].size(), 1u) << r.out;
  EXPECT_EQ(d["results"][0]["succeeded"], false);
  EXPECT_EQ(d["results"][0]["build_after"], 900) << r.out;
  EXPECT_EQ(d["results"][0]["error"]["text"], "Module [00000A16] came back running build 900, not the transferred build 1234");
  EXPECT_EQ(d["results"][0]["state"], "other_build") << r.out;
  const json single = d["results"][0];

  // A link that drops inside the firmware: the loader runs, the module may wait in it.
  d = Run({"-U", "-d", "00000A0D", "-f", files->file("generic.bird")}, r);
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  ASSERT_EQ(d["results"].size(), 1u) << r.out;
  EXPECT_EQ(d["results"][0]["state"], "in_loader") << r.out;
  const uint64_t sent = d["results"][0]["bytes_sent"];
  EXPECT_GT(sent, 304u) << r.out;         // the loader's 300 bytes and their address
  EXPECT_LT(sent, 304u + 4100u) << r.out;  // not the whole firmware

  // Several modules at once: one result each, in the order given, filled by the
  // fleet itself (both faults were spent above, so both modules now take it).
  d = Run({"-U", "-d", "00000A02,00000A16", "-f", files->file("generic.bird")}, r);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  ASSERT_EQ(d["results"].size(), 2u) << r.out;
  EXPECT_EQ(d["results"][0]["serial"], "00000A02");
  EXPECT_EQ(d["results"][0]["build_after"], 1234) << r.out;
  EXPECT_EQ(d["results"][1]["serial"], "00000A16");
  EXPECT_EQ(d["results"][1]["succeeded"], true) << r.out;
  EXPECT_EQ(d["results"][1]["build_before"], 900) << r.out;
  EXPECT_EQ(d["results"][1]["build_after"], 1234) << r.out;
  // The same members, and the same module read the same way, alone or in a fleet.
  for (const char* member : {"model", "place", "version_before"})
    EXPECT_EQ(d["results"][1][member], single[member]) << member << "\n" << r.out;
  std::vector<std::string> alone, together;
  for (auto m = single.begin(); m != single.end(); ++m) alone.push_back(m.key());
  for (auto m = d["results"][1].begin(); m != d["results"][1].end(); ++m)
    if (m.key() != "error") together.push_back(m.key());
  alone.erase(std::remove(alone.begin(), alone.end(), "error"), alone.end());
  EXPECT_EQ(alone, together);

  // -G with several modules: each result says what its own download stored.
  d = Run({"-G", "-U", "-d", "0000BEEF,00000A16", "-u", Url()}, r);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  ASSERT_EQ(d["results"].size(), 2u) << r.out;
  for (const json& result : d["results"]) {
    EXPECT_EQ(result["download"],
              json({{"serial", result["serial"]}, {"build_requested", 0}, {"build", 1234}, {"succeeded", true}}))
        << r.out;
  }
  // Each module's own file is an image of its own, though both are named 1234.bird.
  ASSERT_EQ(d["images"].size(), 2u) << r.out;
  EXPECT_EQ(d["images"][0], d["images"][1]) << r.out;
  EXPECT_EQ(d["images"][0]["file"], "1234.bird") << r.out;

  // Refused before any module: no result, the refusal as the run's error.
  d = Run({"-U"}, r);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(d["results"], json::array());
  EXPECT_EQ(d["error"]["text"], "Must specify the specific device to be updated");
}

// -C: the file, the verdict and the line that said it; a refusal is also the run's error.
TEST_F(JsonE2E, CheckGivesTheVerdictAndItsReason) {
  RunResult r;
  json d = Run({"-C", "-f", files->file("generic.bird")}, r);
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(d["command"], "check");
  EXPECT_EQ(d["check"], json({{"file", files->file("generic.bird")},
                              {"verdict", "accepted_if_fits"},
                              {"reason", "An update would accept this file if the module fits: generic: any module of "
                                         "model Holvex"}}))
      << r.out;
  EXPECT_EQ(d["images"][0]["file"], "generic.bird") << r.out;

  d = Run({"-C", "-f", files->file("generic.bird"), "-d", "0000BEEF"}, r);
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(d["check"]["verdict"], "accepted");
  EXPECT_EQ(d["check"]["reason"], "An update would accept this file");

  d = Run({"-C", "-f", files->file("missing.bird")}, r);
  EXPECT_EQ(r.exitCode, 1);
  const std::string refusal = "Cannot read BIRD file " + files->file("missing.bird") + ": No such file or directory";
  EXPECT_EQ(d["check"]["verdict"], "refused");
  EXPECT_EQ(d["check"]["reason"], refusal);
  // The code -U gives a file it cannot load.
  EXPECT_EQ(d["error"], json({{"code", 16}, {"text", refusal}})) << r.out;
  d = Run({"-C"}, r);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(d["error"], json({{"code", 2}, {"text", "-C must name the BIRD file to check via -f"}})) << r.out;

  // With an update after it, the check is part of the update's document.
  d = Run({"-C", "-U", "-d", "00000A16", "-f", files->file("missing.bird")}, r);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(d["command"], "update");
  EXPECT_EQ(d["check"]["verdict"], "refused");
  EXPECT_EQ(d["results"], json::array()) << r.out;
  EXPECT_EQ(d["error"]["code"], 16) << r.out;
  // A plan or a station refused before it ran still leaves its reader the
  // document (a station's on one line, as its stream's lines are).
  for (const char* mode : {"--dry-run", "--watch"}) {
    d = Run({"-C", "-U", mode, "-d", "0000BEEF", "-t", "TCPIP", "-f", files->file("missing.bird")}, r);
    EXPECT_EQ(r.exitCode, 1) << mode;
    EXPECT_EQ(d["check"]["verdict"], "refused") << mode << r.out;
    EXPECT_EQ(d["error"]["code"], 16) << mode << r.out;
  }
  EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;

  // The file checked is the file installed: one image.
  d = Run({"-C", "-U", "-d", "0000BEEF", "-t", "TCPIP", "-f", files->file("generic.bird")}, r);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(d["check"]["verdict"], "accepted") << r.out;
  ASSERT_EQ(d["images"].size(), 1u) << r.out;
  EXPECT_EQ(d["images"][0]["file"], "generic.bird") << r.out;
}

namespace {

class JsonOnTerminal : public testsupport::PrivateStoreTest {};
class JsonAnswers : public testsupport::PrivateStoreTest {};

}  // namespace

// With stdout on a terminal the download's spinner would be drawn there; with
// --json stdout still holds only the document.
TEST_F(JsonOnTerminal, SpinnerStaysOffStdout) {
  testsupport::TempDir catalogue;
  mkdir(catalogue.file("Holvex").c_str(), 0755);
  testsupport::WriteFile(catalogue.file("Holvex/1100.bird"), Bird(1100));
  testsupport::LabServerProcess lab({"--catalogue", catalogue.path(), "--device", "0000BEEF:Holvex"});
  ASSERT_TRUE(lab.ok());
  testsupport::ProgramResult r = Updater({"--json", "-G", "-d", "0000BEEF", "-u", lab.url()}, {}, true);
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("Downloading"), std::string::npos) << r.out;
  json d = json::parse(r.out);  // the terminal's line ends are JSON white space
  EXPECT_EQ(d["download"]["build"], 1100);
  EXPECT_NE(r.err.find("Retrieving build 1100\n"), std::string::npos) << r.err;
}

// --json is honoured wherever it stands: a line refused at an earlier word,
// help and the version each answer with a document, and stdout holds it alone.
TEST_F(JsonAnswers, EveryRunAnswersWithADocument) {
  const json schema = Schema();
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    const char* member;
    std::string text;
  } cases[] = {
      {{"-U", "-d", "0000BE01", "-j", "0", "--json"}, 1, "error", ""},
      {{"--json", "-h"}, 0, "help", "Application Usage:"},
      {{"-h", "--json"}, 0, "help", "Sample usage:"},
      {{"--json", "-V"}, 0, "version", "updater 1.1."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    testsupport::ProgramResult r = Updater(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    json d;
    ASSERT_NO_THROW(d = json::parse(r.out)) << r.out;
    EXPECT_EQ(jsonschema::Problems(schema, d), std::vector<std::string>()) << r.out;
    EXPECT_EQ(d["command"], "none");
    EXPECT_EQ(d["exit_code"], c.exitCode);
    ASSERT_TRUE(d.contains(c.member)) << r.out;
    if (!c.text.empty()) {
      EXPECT_NE(d[c.member].get<std::string>().find(c.text), std::string::npos) << r.out;
    } else {  // a command line refused: the code of a parameter the updater cannot take
      EXPECT_EQ(d[c.member], json({{"code", 2}, {"text", "Invalid value for option [-j]: [0]"}})) << r.out;
    }
  }
}
