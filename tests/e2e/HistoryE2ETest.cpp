// What the store remembers of every module, end to end: an update over USB, an LPC and
// an i.MX recovery, fingerprints read, a download and an update from a file named by a
// relative path, then -I and -I --json; the line log a fleet keeps through a pipe, and the
// module -k's lines of a download name.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "BirdWriter.h"
#include "GenericBird.h"
#include "JsonSchemaCheck.h"
#include "LabLpcSupport.h"
#include "LabNetwork.h"
#include "LabServerSupport.h"
#include "UsbLab.h"
#include "rom/ImxChip.h"

using nlohmann::json;
using testsupport::ProgramResult;
using testsupport::TempDir;

namespace {

const uint32_t kImxModule = 0x0000B1C0;
const uint32_t kLoader = 0xDEADDEAD;
const uint32_t kIdentity[4] = {0x1A2B3C4D, 0x5E6F7081, 0x92A3B4C5, 0xD6E7F809};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// "2026-12-09T15:57:22.123Z"
bool IsUtcStamp(const std::string& text) {
  if (text.size() != 24 || text[10] != 'T' || text[19] != '.' || text[23] != 'Z') return false;
  for (size_t i : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 9u, 11u, 12u, 14u, 15u, 17u, 18u, 20u, 21u, 22u})
    if (!isdigit(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

// -I's block of one module, from its heading to the next one.
std::string ModuleBlock(const std::string& out, const std::string& serial) {
  size_t at = out.find("Module " + serial + "\n");
  if (at == std::string::npos) return std::string();
  size_t end = out.find("\nModule ", at + 1);
  return out.substr(at, end == std::string::npos ? std::string::npos : end - at + 1);
}

// The history lines of a block that say `what`, each checked to start with its date.
int Dated(const std::string& block, const std::string& what) {
  int n = 0;
  for (const std::string& line : Lines(block)) {
    if (!Has(line, what)) continue;
    EXPECT_EQ(line.substr(0, 8), std::string(8, ' ')) << line;
    EXPECT_TRUE(IsUtcStamp(line.substr(8, 24))) << line;
    n++;
  }
  return n;
}

std::string WriteBird(const std::string& path, const std::vector<birdwriter::Block>& blocks) {
  std::vector<uint8_t> file = birdwriter::EncodeFile(blocks);
  testsupport::WriteFile(path, std::string(file.begin(), file.end()));
  return path;
}

// The server's catalogue: build 1420 for the USB module, the default i.MX recovery image
// (a lab loader) under DEADDEAD and the i.MX module's firmware, build 2200.
std::string MakeCatalogue(const TempDir& dir) {
  const std::string root = dir.file("catalogue");
  for (const std::string& d : {root, root + "/Orrin", root + "/Holvex", dir.file("built")})
    mkdir(d.c_str(), 0755);
  TempDir generic;
  testsupport::WriteFile(root + "/Holvex/1420.bird",
                         testsupport::ReadFile(birdtest::WriteGenericBird(generic, 1420, "1.4.2", 4096, 3)));
  lab::ImxLabLoader loader;
  std::vector<uint8_t> code(0x400, 0);
  std::vector<uint8_t> header = loader.encode(3000 - 0x400 - lab::ImxLabLoader::kHeaderSize);
  code.insert(code.end(), header.begin(), header.end());
  WriteBird(root + "/Orrin/900.bird", {birdwriter::InfoBlock(900, "0.9.0", kLoader, "Orrin"),
                                       birdwriter::AddressedBlock(birdwriter::kLoader, 0x20000000, code)});
  std::vector<uint8_t> image = birdwriter::RandomBytes(6000, 22);
  birdwriter::Block info = birdwriter::InfoBlock(2200, "2.2.0", kImxModule, "Orrin");
  std::copy(info.content.begin(), info.content.end(), image.begin() + 0x400);
  WriteBird(root + "/Orrin/2200.bird", {info, birdwriter::AddressedBlock(birdwriter::kFirmware, 0x60000000, image)});
  return root;
}

json Schema() {
  std::ifstream in(testsupport::SourcePath("packaging/updater-result.schema.json"));
  return json::parse(in);
}

const json* Find(const json& modules, const std::string& serial) {
  for (const json& m : modules)
    if (m.value("serial", "") == serial) return &m;
  return nullptr;
}

// The kinds of a module's history, in order.
std::vector<std::string> Kinds(const json& module) {
  std::vector<std::string> kinds;
  for (const json& e : module["history"]) {
    EXPECT_TRUE(IsUtcStamp(e.value("date", ""))) << e.dump();
    kinds.push_back(e.value("kind", ""));
  }
  return kinds;
}

class HistoryE2E : public ::testing::Test {
protected:
  void SetUp() override {
    lab_.reset(new usbtest::UsbLab({"serial=0000BEEF,model=17,build=1200,reboot-delay=300"}));
    if (!lab_->skipReason().empty()) GTEST_SKIP() << lab_->skipReason();
    ASSERT_EQ(lab_->error(), "");
    lab::ImxChipOptions options;
    std::copy(kIdentity, kIdentity + 4, options.rom.identity);
    chip_.reset(new lab::ImxChip(options, &lab_->host()));
    std::string error;
    ASSERT_NE(lab_->host().plugBootRomHid(*chip_, error), "") << error;
    server_.reset(new testsupport::LabServerProcess(
        {"--catalogue", MakeCatalogue(work_), "--device", "0000BEEF:Holvex:1420", "--device", "DEADDEAD:Orrin:900",
         "--device", "0000B1C0:Orrin:2200", "--fix", "D6E7F809:92A3B4C5:5E6F7081:1A2B3C4D:0000B1C0:2200"}));
    ASSERT_TRUE(server_->ok());
    rom_.reset(new testsupport::LabLpcProcess(romDir_.path()));
    ASSERT_TRUE(rom_->ok());
  }
  void TearDown() override {
    server_.reset();
    lab_.reset();  // the bus goes before the chip its HID device reports to
  }
  ProgramResult Run(std::vector<std::string> args) {
    args.push_back("-u");
    args.push_back(server_->url());
    return lab_->runUpdater(args);
  }
  // The updater started in `folder`, under the lab's USB bus.
  ProgramResult RunIn(const std::string& folder, const std::string& args) {
    return testsupport::RunProgram({"/bin/sh", "-c", "cd '" + folder + "' && exec " + testsupport::BinPath("updater") +
                                                         " " + args},
                                   {"LD_PRELOAD=libumockdev-preload.so.0", "UMOCKDEV_DIR=" + lab_->umockdevDir(),
                                    "ASAN_OPTIONS=verify_asan_link_order=0"});
  }

  TempDir work_, romDir_;
  std::unique_ptr<usbtest::UsbLab> lab_;
  std::unique_ptr<lab::ImxChip> chip_;
  std::unique_ptr<testsupport::LabServerProcess> server_;
  std::unique_ptr<testsupport::LabLpcProcess> rom_;
};

}  // namespace

// Everything that touched each module is listed under it with its date, in -I and in its
// JSON; a chip read before its module was known is listed with the module it became; the
// recovery loader's entry is no module; a -f file is recorded so that it names the file
// from any folder.
TEST_F(HistoryE2E, DemoSequenceIsListedPerModuleWithDates) {
  ProgramResult r = Run({"-I"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "No modules stored in ")) << r.out;

  ASSERT_EQ(Run({"-G", "-d", "0000BEEF"}).exitCode, 0);
  r = Run({"-U", "-d", "0000BEEF"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  ASSERT_TRUE(lab_->waitForArrivals(0xBEEF, 2));

  // The LPC chip: its fingerprint read with no module known, then recovered as 0000FA11.
  r = Run({"-N", "-s", rom_->pty()});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  const size_t open = r.out.find("[ ");
  ASSERT_NE(open, std::string::npos) << r.out;
  const std::string lpcPrint = r.out.substr(open + 2, 35);
  const std::string lpcBird = work_.file("lpc.bird");
  testsupport::WriteFile(lpcBird, testsupport::MakeRecoveryBird({{0x2000, testsupport::TestBytes(1500, 5)}},
                                                                testsupport::kLabLpcSerial, 2100, "Holvex"));
  r = Run({"-U", "-t", "RECOVER", "-s", rom_->pty(), "-f", lpcBird, "-d", "0000FA11"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;

  // The i.MX chip: the server names the module for the fingerprint its loader reads.
  ASSERT_EQ(Run({"-N", "-s", "USB"}).exitCode, 0);
  r = Run({"-U", "-t", "RECOVER", "-s", "USB"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;

  // A file named relative to one folder; -I run from another.
  const std::string folder = work_.file("built");
  TempDir files;
  testsupport::WriteFile(folder + "/1500.bird",
                         testsupport::ReadFile(birdtest::WriteGenericBird(files, 1500, "1.5.0", 4096, 4)));
  ASSERT_TRUE(lab_->waitForArrivals(0xBEEF, 2));
  r = RunIn(work_.path(), "-U -d 0000BEEF -f built/1500.bird");
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;

  r = RunIn("/", "-I");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::string beef = ModuleBlock(r.out, "0000BEEF");
  EXPECT_EQ(Dated(beef, "downloaded build 1420 (1420.bird)"), 1) << r.out;
  EXPECT_EQ(Dated(beef, "transferred build 1420 (1420.bird)"), 1) << r.out;
  EXPECT_EQ(Dated(beef, "verified: running build 1420"), 1) << r.out;
  EXPECT_EQ(Dated(beef, "transferred build 1500 (" + folder + "/1500.bird)"), 1) << r.out;
  EXPECT_TRUE(Has(beef, "    Latest transfer:  " + folder + "/1500.bird (")) << beef;
  const std::string lpc = ModuleBlock(r.out, "0000FA11");
  EXPECT_EQ(Dated(lpc, "fingerprint read through the LPC boot ROM: [ " + lpcPrint + " ]"), 1) << r.out;
  EXPECT_EQ(Dated(lpc, "recovered through the LPC boot ROM with build 2100 (" + lpcBird + "), chip [ " + lpcPrint +
                           " ]; verified: the chip read its flash back identical to the image"),
            1)
      << r.out;
  const std::string imx = ModuleBlock(r.out, "0000B1C0");
  const std::string imxPrint = "D6E7F809 92A3B4C5 5E6F7081 1A2B3C4D";
  EXPECT_EQ(Dated(imx, "fingerprint read through the i.MX boot ROM: [ " + imxPrint + " ]"), 1) << r.out;
  EXPECT_EQ(Dated(imx, "downloaded build 2200 (2200.bird)"), 1) << r.out;
  EXPECT_EQ(Dated(imx, "recovered through the i.MX boot ROM with build 2200 (2200.bird), chip [ " + imxPrint +
                           " ]; verified: the module came back running build 2200"),
            1)
      << r.out;
  EXPECT_TRUE(Has(imx, "    Latest transfer:  2200.bird (")) << imx;
  EXPECT_FALSE(Has(r.out, "Module DEADDEAD")) << r.out;
  EXPECT_TRUE(Has(r.out, "Default recovery images (loader serial number DEADDEAD): 900\n")) << r.out;
  EXPECT_FALSE(Has(r.out, "whose module is not known")) << r.out;

  r = RunIn("/", "-I --json");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  json doc = json::parse(r.out, nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << r.out;
  EXPECT_EQ(jsonschema::Problems(Schema(), doc), std::vector<std::string>()) << doc.dump(2);
  EXPECT_EQ(doc["command"], "info");
  const json& modules = doc["store"]["modules"];
  EXPECT_EQ(Find(modules, "DEADDEAD"), nullptr) << modules.dump(2);
  EXPECT_EQ(doc["store"]["recovery_images"], json::array({900}));
  const json* beefJson = Find(modules, "0000BEEF");
  const json* lpcJson = Find(modules, "0000FA11");
  const json* imxJson = Find(modules, "0000B1C0");
  ASSERT_TRUE(beefJson && lpcJson && imxJson) << modules.dump(2);
  EXPECT_EQ(Kinds(*beefJson), (std::vector<std::string>{"download", "transfer", "verified", "transfer", "verified"}));
  EXPECT_EQ((*beefJson)["history"][3]["file"], folder + "/1500.bird");
  EXPECT_EQ((*beefJson)["builds"], json::array({1420}));
  EXPECT_EQ(Kinds(*lpcJson), (std::vector<std::string>{"fingerprint", "recovery"}));
  EXPECT_EQ((*lpcJson)["history"][1]["verified_by"], "flash_read_back");
  EXPECT_EQ((*lpcJson)["history"][1]["chip"], "lpc");
  EXPECT_EQ(Kinds(*imxJson), (std::vector<std::string>{"fingerprint", "download", "recovery"}));
  EXPECT_EQ((*imxJson)["history"][2]["verified_by"], "module_return");
  EXPECT_EQ((*imxJson)["history"][2]["fingerprint"],
            json::array({"D6E7F809", "92A3B4C5", "5E6F7081", "1A2B3C4D"}));
}

// Through a pipe, every line a fleet run writes about a module starts with its serial
// number and ": ", its waits included, and the library's own wording of a failed
// transfer stays off the user's lines; -k's log has it, stamped and naming the module.
TEST(LineLogE2E, FleetThroughAPipePrefixesEveryModuleLine) {
  testsupport::LabNetwork net;
  if (!net.ok()) GTEST_SKIP() << net.error();
  TempDir files;
  const std::string bird = birdtest::WriteGenericBird(files, 2500, "2.5.0", 4096, 2500);
  ASSERT_GE(net.startLab({"modules", "--module", "serial=0000A001,model=17,build=1100,reboot-delay=200,port=9001",
                          "--module", "serial=0000A002,model=17,build=1100,port=9002,fault=bad-sum"}),
            0)
      << net.error();
  const std::string log = files.file("debug.log");
  testsupport::RunResult r =
      net.runUpdater({"-U", "-d", "0000A001,0000A002", "-t", "TCPIP", "-f", bird, "-k", log}, 60000);
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  const std::vector<std::string> runLines = {"Updater (Version", "Searching for Kovalink devices",
                                             "Updating 2 modules, up to", "Device    Model", "0000A001  Holvex",
                                             "0000A002  Holvex", "1 of 2 modules updated"};
  int moduleLines = 0;
  for (const std::string& line : Lines(r.out + r.err)) {
    bool known = false;
    for (const std::string& start : runLines) known = known || line.rfind(start, 0) == 0;
    if (known) continue;
    const bool prefixed = line.rfind("0000A001: ", 0) == 0 || line.rfind("0000A002: ", 0) == 0;
    EXPECT_TRUE(prefixed) << "unprefixed: " << line << "\n" << r.out << r.err;
    moduleLines += prefixed;
  }
  EXPECT_GT(moduleLines, 10);
  EXPECT_TRUE(Has(r.out, "0000A001: Waiting for the module to come back ...\n")) << r.out;
  EXPECT_TRUE(Has(r.err, "0000A002: Firmware update of module [0000A002] failed")) << r.err;
  EXPECT_FALSE(Has(r.out + r.err, "NETWORK:")) << r.out << r.err;

  int failedTransfer = 0;
  for (const std::string& line : Lines(testsupport::ReadFile(log))) {
    ASSERT_TRUE(line.empty() || IsUtcStamp(line.substr(0, 24))) << line;
    failedTransfer += Has(line, " 0000A002 NETWORK: Unable to validate transfer");
  }
  EXPECT_EQ(failedTransfer, 1) << testsupport::ReadFile(log);
}

// -k names the module a download serves on every line, those of the worker thread that
// makes the request included, alone (-G) and in a fleet; a fleet's own lines name none.
TEST(LineLogE2E, DownloadLinesNameTheirModule) {
  testsupport::LabNetwork net;
  if (!net.ok()) GTEST_SKIP() << net.error();
  TempDir files;
  const std::string catalogue = MakeCatalogue(files);
  ASSERT_GE(net.startLab({"modules", "--module", "serial=0000A001,model=17,build=1100,reboot-delay=200,port=9001",
                          "--module", "serial=0000A002,model=17,build=1100,reboot-delay=200,port=9002"}),
            0)
      << net.error();
  ASSERT_GE(net.startLab({"server", "--catalogue", catalogue, "--device", "0000A001:Holvex", "--device",
                          "0000A002:Holvex", "--host", net.labAddress(), "--port", "8080"}),
            0)
      << net.error();
  const std::string url = "http://" + net.labAddress() + ":8080/cgi/u";
  // The module a stamped line names; a line too short to be stamped as it is.
  auto named = [](const std::string& line) { return line.size() < 33 ? line : line.substr(25, 8); };

  const std::string single = files.file("single.log");
  testsupport::RunResult r = net.runUpdater({"-G", "-d", "0000A001", "-u", url, "-k", single, "-X", "0x21"}, 60000);
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  int requests = 0;
  for (const std::string& line : Lines(testsupport::ReadFile(single))) {
    EXPECT_TRUE(line.empty() || named(line) == "0000A001") << line;
    requests += Has(line, "op=bird&sn=0000A001");
  }
  EXPECT_EQ(requests, 1) << testsupport::ReadFile(single);

  const std::string fleet = files.file("fleet.log");
  r = net.runUpdater({"-G", "-U", "-d", "0000A001,0000A002", "-t", "TCPIP", "-u", url, "-k", fleet, "-X", "0x21"},
                     60000);
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  int fetched = 0, own = 0;
  for (const std::string& line : Lines(testsupport::ReadFile(fleet))) {
    for (const char* serial : {"0000A001", "0000A002"}) {
      if (Has(line, std::string("op=bird&sn=") + serial)) {
        EXPECT_EQ(named(line), serial) << line;
        fetched++;
      }
    }
    if (Has(line, "Fleet update of 2 modules")) {
      EXPECT_EQ(named(line), "--------") << line;
      own++;
    }
  }
  EXPECT_EQ(fetched, 2) << testsupport::ReadFile(fleet);
  EXPECT_EQ(own, 1) << testsupport::ReadFile(fleet);
}
