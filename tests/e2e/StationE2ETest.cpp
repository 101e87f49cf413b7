// -U --watch (a station), skipping modules that run the wanted build, and -U --dry-run,
// end to end against lab modules that arrive, leave and come back while the updater runs.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>

#include <cctype>
#include <chrono>
#include <csignal>
#include <future>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "GenericBird.h"
#include "JsonSchemaCheck.h"
#include "LabNetwork.h"
#include "TestSupport.h"
#include "UsbLab.h"

using nlohmann::json;
using testsupport::LabNetwork;
using testsupport::RunResult;
using testsupport::TempDir;

namespace {

// "2026-12-09T14:41:17.123Z": std::regex would do, but GCC's sanitizer builds warn inside it.
bool IsUtcStamp(const std::string& text) {
  const std::string shape = "dddd-dd-ddTdd:dd:dd.dddZ";
  if (text.size() != shape.size())
    return false;
  for (size_t i = 0; i < shape.size(); i++)
    if (shape[i] == 'd' ? !isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i])
      return false;
  return text.compare(0, 2, "20") == 0;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string WriteBird(const TempDir& dir, uint32_t build) { return birdtest::WriteGenericBird(dir, build, "2.5.0", 4096, build); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// The pid of the updater whose command line mentions `marker`, or 0.
int UpdaterPid(const std::string& marker) {
  DIR* proc = opendir("/proc");
  int found = 0;
  while (proc != nullptr && found == 0) {
    dirent* entry = readdir(proc);
    if (entry == nullptr) break;
    std::string pid = entry->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string cmdline = testsupport::ReadFile("/proc/" + pid + "/cmdline");
    if (cmdline.substr(0, cmdline.find('\0')) == testsupport::BinPath("updater") && Has(cmdline, marker))
      found = std::stoi(pid);
  }
  if (proc != nullptr) closedir(proc);
  return found;
}

bool Terminate(const std::string& marker) {
  int pid = UpdaterPid(marker);
  return pid > 0 && kill(pid, SIGTERM) == 0;
}

// A station running in the program namespace; its output is readable while it runs.
class Watch {
public:
  Watch(LabNetwork& net, const std::vector<std::string>& args) : out_(logs_.file("out")), err_(logs_.file("err")) {
    std::vector<std::string> shell = {"-c", "exec \"$0\" \"$@\" >" + out_ + " 2>" + err_,
                                      testsupport::BinPath("updater")};
    shell.insert(shell.end(), args.begin(), args.end());
    run_ = std::async(std::launch::async, [&net, shell] { return net.run("/bin/sh", shell, 120000); });
  }
  std::string out() const { return testsupport::ReadFile(out_); }
  bool waitFor(const std::function<bool(const std::string&)>& seen, int timeoutMs) {
    return testsupport::WaitUntil([&] { return seen(out()); }, timeoutMs);
  }
  RunResult stop(const std::string& marker) {
    EXPECT_TRUE(Terminate(marker));
    RunResult r = run_.get();
    r.out = out();
    r.err = testsupport::ReadFile(err_);
    return r;
  }

private:
  TempDir logs_;
  std::string out_, err_;
  std::future<RunResult> run_;
};

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) count++;
  return count;
}

json Schema() { return json::parse(testsupport::ReadFile(testsupport::SourcePath("packaging/updater-result.schema.json"))); }

// Every file under `dir` with its bytes and modification time.
void Snapshot(const std::string& dir, std::map<std::string, std::string>& files) {
  DIR* d = opendir(dir.c_str());
  while (dirent* entry = d != nullptr ? readdir(d) : nullptr) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string path = dir + "/" + name;
    struct stat info;
    if (stat(path.c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      files[path] = "dir";
      Snapshot(path, files);
    } else {
      files[path] = std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec) + ":" +
                    testsupport::ReadFile(path);
    }
  }
  if (d != nullptr) closedir(d);
}

std::string Module(const std::string& serial, int port, const std::string& extra) {
  return "serial=" + serial + ",model=17,build=1100,reboot-delay=200,port=" + std::to_string(port) + extra;
}

}  // namespace

// A network station with a prefix filter and JSON Lines: a module there from the start, one
// that arrives already current, one that arrives, leaves and comes back fresh, and one the
// filter refuses. Every line fits the schema.
TEST(StationE2E, NetworkStationUpdatesArrivalsSkipsCurrentHandlesReturnsAndLogsJsonLines) {
  LabNetwork net;
  if (!net.ok()) GTEST_SKIP() << net.error();
  TempDir files, dumps;
  const std::string bird = WriteBird(files, 2500);
  ASSERT_GE(net.startLab({"modules", "--dump-dir", dumps.path(), "--module", Module("0000A001", 9000, ""),
                          "--module", Module("0000A002", 9001, ",build=2500,arrive=2500"), "--module",
                          Module("0000A003", 9002, ",arrive=4000,cycle=6000:8000"), "--module",
                          Module("0000B001", 9003, "")}),
            0)
      << net.error();
  Watch watch(net, {"-U", "--watch", "-t", "TCPIP", "-d", "0000a", "-j", "2", "-f", bird, "--json"});
  const bool back = watch.waitFor(
      [](const std::string& out) { return Count(out, "\"event\":\"result\",\"serial\":\"0000A003\"") >= 2; }, 60000);
  RunResult r = watch.stop(bird);
  ASSERT_TRUE(back) << r.out << r.err;
  EXPECT_EQ(0, r.exitCode) << r.out << r.err;

  const json schema = Schema();
  std::vector<json> events;
  std::string last;
  for (const std::string& line : Lines(r.out)) {
    json event = json::parse(line, nullptr, false);
    ASSERT_FALSE(event.is_discarded()) << "not JSON: " << line;
    std::vector<std::string> problems;
    jsonschema::Check(schema, schema["$defs"]["station_event"], event, "$", problems);
    EXPECT_TRUE(problems.empty()) << line << "\n" << ::testing::PrintToString(problems);
    const std::string time = event.value("time", "");
    EXPECT_TRUE(IsUtcStamp(time)) << line;
    EXPECT_LE(last, time) << line;
    last = time;
    events.push_back(event);
  }
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ("watching", events.front()["event"]);
  EXPECT_EQ(json::array({"0000A"}), events.front()["accept"]);
  EXPECT_EQ("stopped", events.back()["event"]);
  EXPECT_EQ(4, events.back()["arrivals"]);

  std::map<std::string, std::vector<json>> bySerial;
  for (const json& event : events)
    if (event.contains("serial")) bySerial[event["serial"]].push_back(event);
  auto kinds = [&](const std::string& serial) {
    std::string text;
    for (const json& event : bySerial[serial]) text += event["event"].get<std::string>() + " ";
    return text;
  };
  EXPECT_EQ("appeared started result ", kinds("0000A001"));
  EXPECT_EQ(2500, bySerial["0000A001"][2]["build_after"]);
  EXPECT_EQ(true, bySerial["0000A001"][2]["succeeded"]);
  // Already current: reported, never written.
  EXPECT_EQ("appeared result ", kinds("0000A002"));
  EXPECT_EQ(true, bySerial["0000A002"][1]["current"]);
  EXPECT_EQ(2500, bySerial["0000A002"][1]["build_before"]);
  EXPECT_EQ("", testsupport::ReadFile(dumps.file("0000A002.bin")));
  // Left and came back as a fresh module: handled again.
  EXPECT_EQ("appeared started result left appeared started result ", kinds("0000A003"));
  EXPECT_EQ(1100, bySerial["0000A003"][5]["build_before"]);
  EXPECT_EQ(2500, bySerial["0000A003"][6]["build_after"]);
  // Outside the filter: not touched.
  EXPECT_EQ(0u, bySerial.count("0000B001")) << r.out;
  EXPECT_EQ("", testsupport::ReadFile(dumps.file("0000B001.bin")));
  EXPECT_TRUE(Has(r.err, "0000A001  Holvex         1100 -> 2500")) << r.err;
  EXPECT_TRUE(Has(r.err, "current (build 2500)")) << r.err;
}

// --force writes a module that runs the build already; SIGTERM while it reboots into it
// stops the station with the interrupt line and the table, and the run fails.
TEST(StationE2E, ForcedUpdateInterruptedBySigtermEndsWithTheTable) {
  LabNetwork net;
  if (!net.ok()) GTEST_SKIP() << net.error();
  TempDir files, dumps;
  const std::string bird = WriteBird(files, 2500);
  ASSERT_GE(net.startLab({"modules", "--dump-dir", dumps.path(), "--module",
                          Module("0000C001", 9000, ",build=2500,reboot-delay=30000")}),
            0)
      << net.error();
  Watch watch(net, {"-U", "--watch", "--force", "-t", "TCPIP", "-f", bird});
  // The firmware is written and the module reboots into it for 30 s.
  const bool written = watch.waitFor([](const std::string& out) { return Has(out, "Waiting for the module to come back"); }, 30000);
  RunResult r = watch.stop(bird);
  ASSERT_TRUE(written) << r.out << r.err;
  EXPECT_EQ(1, r.exitCode) << r.out << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  bool sawAppeared = false;
  // A module's event: its serial number, then the time stamp.
  for (const std::string& line : lines) {
    const std::string rest = line.size() > 34 ? line.substr(34) : std::string();
    const size_t port = rest.find(":9000, Holvex)");
    sawAppeared = sawAppeared || (line.rfind("0000C001: ", 0) == 0 && IsUtcStamp(line.substr(10, 24)) &&
                                  rest.rfind(" appeared (TCPIP ", 0) == 0 && port != std::string::npos &&
                                  port + 14 == rest.size());
  }
  EXPECT_TRUE(sawAppeared) << r.out;
  EXPECT_TRUE(Has(r.out, "Z update started, build 2500 -> 2500\n")) << r.out;
  EXPECT_TRUE(Has(r.err, "Interrupted while module [0000C001] was rebooting into its new firmware. Run -D to see "
                         "which build it runs."))
      << r.err;
  EXPECT_TRUE(Has(r.out, "0000C001  Holvex         2500 -> -")) << r.out;
  EXPECT_TRUE(Has(r.out, "INTERRUPTED: Interrupted while module [0000C001]")) << r.out;
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(Has(lines.back(), "Z stopped after 1 arrivals of 1 modules")) << r.out;
}

// A USB module plugged in while the station watches the bus is updated and verified.
TEST(StationE2E, UsbModulePluggedInWhileWatchingIsUpdated) {
  usbtest::UsbLab lab({"serial=0000E001,model=17,build=1100,reboot-delay=300,arrive=3000"});
  if (!lab.skipReason().empty()) GTEST_SKIP() << lab.skipReason();
  ASSERT_EQ("", lab.error());
  TempDir files;
  const std::string bird = WriteBird(files, 2600);
  auto run = std::async(std::launch::async, [&] { return lab.runUpdater({"-U", "--watch", "-t", "USB", "-f", bird}); });
  EXPECT_FALSE(lab.host().onBus(0xE001));
  // Plugged in, updated, rebooted and back on the bus with the new build.
  const bool updated = testsupport::WaitUntil(
      [&] { return lab.host().build(0xE001) == 2600 && lab.host().arrivals(0xE001) >= 2 && lab.host().onBus(0xE001); },
      30000);
  // The station has seen it running the new build by the time its result is logged.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_TRUE(Terminate(bird));
  testsupport::ProgramResult r = run.get();
  ASSERT_TRUE(updated) << r.out << r.err;
  EXPECT_EQ(0, r.exitCode) << r.out << r.err;
  const size_t watching = r.out.find("Z watching USB for every module");
  const size_t appeared = r.out.find("Z appeared (USB, Holvex)");
  ASSERT_NE(std::string::npos, watching) << r.out;
  EXPECT_LT(watching, appeared) << r.out;
  EXPECT_TRUE(Has(r.out, "Z updated, build 1100 -> 2600")) << r.out;
  EXPECT_EQ(r.out.rfind("\n0000E001: ", appeared), r.out.rfind('\n', appeared)) << r.out;
  EXPECT_TRUE(Has(r.out, "0000E001  Holvex         1100 -> 2600")) << r.out;
}

// --dry-run of a mixed fleet shows each module's plan and touches nothing; -d all then
// updates what needs it and leaves the current module alone.
TEST(StationE2E, DryRunOfMixedFleetWritesNothingAndAllSkipsTheCurrentModule) {
  LabNetwork net;
  if (!net.ok()) GTEST_SKIP() << net.error();
  TempDir files, dumps;
  const std::string bird = WriteBird(files, 2500);
  const std::string store = net.storeDir() + "/updater";
  // Where the updater sees that store.
  const std::string seen = LabNetwork::HomeDir() + "/.tessoral/updater";
  for (const char* serial : {"0000D001", "0000D002", "0000D003"}) {
    ASSERT_EQ(0, system(("mkdir -p " + store + "/" + serial).c_str()));
    testsupport::WriteFile(store + "/" + serial + "/2500.bird", testsupport::ReadFile(bird));
    testsupport::WriteFile(store + "/" + serial + "/.settings", "LATEST_DOWNLOAD=2500.bird\n");
  }
  ASSERT_GE(net.startLab({"modules", "--dump-dir", dumps.path(), "--module", Module("0000D001", 9000, ""),
                          "--module", Module("0000D002", 9001, ",build=2500"), "--module",
                          Module("0000D003", 9002, ",model=13"), "--module", Module("0000D004", 9003, "")}),
            0)
      << net.error();
  // Nothing listens there: the server names no build and the store decides.
  const std::string server = "http://127.0.0.1:9/cgi/u";
  std::map<std::string, std::string> before, after;
  Snapshot(net.storeDir(), before);

  RunResult r = net.runUpdater({"-U", "--dry-run", "-d", "all", "-t", "TCPIP", "-u", server});
  EXPECT_EQ(1, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "1100 -> 2500         from " + seen + "/0000D001/2500.bird\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "2500 -> current      from " + seen + "/0000D002/2500.bird\n")) << r.out;
  // In the update's own words: the plan and the update judge a file alike.
  EXPECT_TRUE(Has(r.out, "Quessa       1100 -> 2500         cannot be updated: Birdfile failed validation: model "
                         "Holvex, the module is a Quessa\n"))
      << r.out;
  EXPECT_TRUE(Has(r.out, "Holvex       1100 -> -            cannot be updated: Could not find valid build for this "
                         "device.\n"))
      << r.out;
  EXPECT_TRUE(Has(r.out, "2 of 4 modules could be updated\n")) << r.out;

  // A file for module 00000000 without serial-number offsets: the update would refuse it, so the plan does.
  std::vector<birdwriter::Block> blocks = {birdwriter::InfoBlock(2600, "2.6.0", 0, "Holvex"),
                                           birdwriter::AddressedBlock(birdwriter::kFirmware, 0,
                                                                      birdwriter::RandomBytes(1024, 3))};
  const std::vector<uint8_t> bytes = birdwriter::EncodeFile(blocks);
  testsupport::WriteFile(files.file("fixed.bird"), std::string(bytes.begin(), bytes.end()));
  r = net.runUpdater({"-U", "--dry-run", "-d", "0000D001", "-t", "TCPIP", "-f", files.file("fixed.bird")});
  EXPECT_EQ(1, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "Birdfile failed validation: made for module 00000000, not 0000D001")) << r.out;

  r = net.runUpdater({"-U", "--dry-run", "-d", "0000D001,0000D002", "-t", "TCPIP", "-u", server, "--json"});
  EXPECT_EQ(0, r.exitCode) << r.out << r.err;
  json plan = json::parse(r.out, nullptr, false);
  ASSERT_FALSE(plan.is_discarded()) << r.out;
  EXPECT_EQ(std::vector<std::string>(), jsonschema::Problems(Schema(), plan)) << r.out;
  ASSERT_EQ(2u, plan["plan"].size()) << r.out;
  EXPECT_EQ(1100, plan["plan"][0]["build_now"]);
  EXPECT_EQ(2500, plan["plan"][0]["build_to_write"]);
  // Named modules are always written, so nothing is current here.
  EXPECT_EQ(false, plan["plan"][1]["current"]);
  EXPECT_EQ(true, plan["dry_run"]);

  Snapshot(net.storeDir(), after);
  EXPECT_EQ(before, after);
  DIR* written = opendir(dumps.path().c_str());
  int entries = 0;
  while (written != nullptr && readdir(written) != nullptr) entries++;
  if (written != nullptr) closedir(written);
  EXPECT_EQ(2, entries) << "a module was written";

  r = net.runUpdater({"-U", "-d", "all", "-t", "TCPIP", "-u", server}, 90000);
  EXPECT_EQ(1, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "0000D002: current (build 2500)\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "0000D001  Holvex         1100 -> 2500")) << r.out;
  EXPECT_TRUE(Has(r.out, "0000D002  Holvex         2500 -> 2500             0.0 s  current (build 2500)\n")) << r.out;
  EXPECT_TRUE(Has(r.err, "1 of 4 modules updated, 1 already current")) << r.err;
  EXPECT_FALSE(testsupport::ReadFile(dumps.file("0000D001.bin")).empty());
  EXPECT_EQ("", testsupport::ReadFile(dumps.file("0000D002.bin")));
}
