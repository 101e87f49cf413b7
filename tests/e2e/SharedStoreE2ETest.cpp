// Two updater programs on one store at once, as two stations sharing a home
// directory run them: neither loses what the other recorded, a busy entry
// names the process holding it, and one build is fetched once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "BirdWriter.h"
#include "LabNetwork.h"
#include "LabServerSupport.h"
#include "PrivateStoreTest.h"
#include "TestSupport.h"

using testsupport::LabNetwork;
using testsupport::ProgramResult;
using testsupport::RunResult;
using testsupport::TempDir;

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    count++;
  return count;
}

// The pid line and command line another run wrote into a lock file, once it has.
std::string AwaitHolder(const std::string& lockFile) {
  std::string text;
  testsupport::WaitUntil([&] { return !(text = testsupport::ReadFile(lockFile)).empty(); }, 5000);
  return text;
}

// "process 1234 (updater -G ...)" from the lock file's "1234\nupdater -G ...\n".
std::string HolderText(const std::string& lockFile) {
  std::string text = AwaitHolder(lockFile);
  size_t end = text.find('\n');
  if (end == std::string::npos)
    return "<no holder in " + lockFile + ">";
  return "process " + text.substr(0, end) + " (" + text.substr(end + 1, text.find('\n', end + 1) - end - 1) + ")";
}

class SharedStoreDownloads : public testsupport::PrivateStoreTest {
protected:
  void StartServer(const std::string& fault) {
    mkdir(catalogue.file("KovaHub").c_str(), 0755);
    for (uint32_t build : {17u, 18u})
      testsupport::WriteFile(catalogue.file("KovaHub/" + std::to_string(build) + ".bird"),
                             testsupport::MakeBirdBytes(build, "1." + std::to_string(build), "KovaHub", 0,
                                                        testsupport::TestBytes(2000, build)));
    lab.reset(new testsupport::LabServerProcess({"--catalogue", catalogue.path(), "--device", "1234ABCD:KovaHub:18",
                                                 "--log", catalogue.file("requests.log"), "--fault", fault}));
    ASSERT_TRUE(lab->ok());
  }
  std::future<ProgramResult> InBackground(const std::vector<std::string>& args,
                                          const std::vector<std::string>& env = {}) {
    return std::async(std::launch::async, [this, args, env] { return Updater(args, env); });
  }
  std::string Entry(const std::string& name) const { return storeDir.file("updater/1234ABCD/" + name); }

  TempDir catalogue;
  std::unique_ptr<testsupport::LabServerProcess> lab;
};

}  // namespace

TEST_F(SharedStoreDownloads, ASecondRunForTheSameBuildWaitsThenUsesTheFirstOnesFile) {
  StartServer("bird:stall:2");
  std::vector<std::string> args = {"-G", "-d", "1234ABCD", "-u", lab->url()};
  auto first = InBackground(args);
  std::string holder = HolderText(Entry(".download-18.lock"));
  EXPECT_TRUE(Has(holder, " (updater -G -d 1234ABCD -u " + lab->url() + ")")) << holder;

  ProgramResult second = Updater(args);
  ProgramResult one = first.get();
  ASSERT_EQ(one.exitCode, 0) << one.out << one.err;
  ASSERT_EQ(second.exitCode, 0) << second.out << second.err;
  EXPECT_TRUE(Has(second.out, "Build 18 for module 1234ABCD is being downloaded by " + holder + "; waiting\n"))
      << second.out;
  EXPECT_TRUE(Has(second.out, "Build 18 was stored meanwhile by another run; using it\n")) << second.out;
  // One fetch of the file for the two runs, and the file and record are whole.
  EXPECT_EQ(Count(testsupport::ReadFile(catalogue.file("requests.log")), "op=bird"), 1u);
  EXPECT_EQ(testsupport::BirdContent(testsupport::ReadFile(Entry("18.bird"))).empty(), false);
  EXPECT_TRUE(Has(testsupport::ReadFile(Entry(".settings")), "LATEST_DOWNLOAD=18.bird\n"));
  // The lock names nobody once its holder is done.
  EXPECT_EQ(testsupport::ReadFile(Entry(".download-18.lock")), "");
}

TEST_F(SharedStoreDownloads, AHolderThatOutlastsTheWaitIsNamedInTheRefusal) {
  StartServer("bird:stall:4");
  auto first = InBackground({"-G", "-d", "1234ABCD", "-b", "17", "-u", lab->url()});
  std::string holder = HolderText(Entry(".download-17.lock"));

  ProgramResult refused =
      Updater({"-G", "-d", "1234ABCD", "-b", "17", "-u", lab->url()}, {"UPDATER_LOCK_WAIT_SECONDS=1"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_TRUE(Has(refused.err,
                  "Build 17 for module 1234ABCD is still being downloaded by " + holder + "; gave up after 1 seconds\n"))
      << refused.err;
  EXPECT_LT(refused.seconds, 3.5);

  // Another build of the same module is not held up by that download: it
  // fetches at the same time, and both files end up stored.
  ProgramResult other = Updater({"-G", "-d", "1234ABCD", "-b", "18", "-u", lab->url()});
  EXPECT_EQ(other.exitCode, 0) << other.err;
  EXPECT_FALSE(Has(other.out, "waiting")) << other.out;
  ProgramResult one = first.get();
  EXPECT_EQ(one.exitCode, 0) << one.err;
  EXPECT_FALSE(testsupport::BirdContent(testsupport::ReadFile(Entry("17.bird"))).empty());
  EXPECT_FALSE(testsupport::BirdContent(testsupport::ReadFile(Entry("18.bird"))).empty());
}

namespace {

// A BIRD file of a loader and `size` bytes of firmware for a Holvex module,
// with the places its serial number goes.
std::string HolvexBird(uint32_t build, size_t size) {
  std::vector<birdwriter::Block> blocks;
  blocks.push_back(birdwriter::InfoBlock(build, "1.2.3", 0, "Holvex"));
  blocks.push_back(birdwriter::AddressedBlock(birdwriter::kLoader, 0x20000000, birdwriter::RandomBytes(300, 7)));
  // Like real firmware, the image carries its own information block, which the
  // module reports as its build once it runs the image.
  std::vector<uint8_t> image = birdwriter::RandomBytes(size, build);
  const std::vector<uint8_t>& info = blocks.front().content;
  std::copy(info.begin(), info.end(), image.begin() + 0x400);
  blocks.push_back(birdwriter::AddressedBlock(birdwriter::kFirmware, 0, image, 2));
  blocks.push_back(birdwriter::SerialOffsetsBlock(0x100, 0x200));
  std::vector<uint8_t> bytes = birdwriter::EncodeFile(blocks);
  return std::string(bytes.begin(), bytes.end());
}

// An updater run in the background whose output goes to files of its own
// (the lab's run() keeps one pair of output files for all its runs).
std::future<RunResult> UpdaterInBackground(LabNetwork& net, const TempDir& logs, const std::string& name,
                                           const std::vector<std::string>& args) {
  std::vector<std::string> shell = {"-c", "exec \"$0\" \"$@\" >" + logs.file(name + ".out") + " 2>" +
                                              logs.file(name + ".err"),
                                    testsupport::BinPath("updater")};
  shell.insert(shell.end(), args.begin(), args.end());
  return std::async(std::launch::async, [&net, &logs, name, shell] {
    RunResult r = net.run("/bin/sh", shell, 60000);
    r.out = testsupport::ReadFile(logs.file(name + ".out"));
    r.err = testsupport::ReadFile(logs.file(name + ".err"));
    return r;
  });
}

}  // namespace

// A download that finishes while an update of the same module runs, and a
// second update started meanwhile: the update's record keeps the download's,
// and the second update waits for the first, naming it.
TEST(SharedStoreUpdates, DownloadAndSecondUpdateDuringAnUpdateKeepBothHistories) {
  LabNetwork net;
  if (!net.ok()) GTEST_SKIP() << net.error();
  TempDir catalogue, files, logs;
  mkdir(catalogue.file("Holvex").c_str(), 0755);
  testsupport::WriteFile(catalogue.file("Holvex/1234.bird"), HolvexBird(1234, 4096));
  std::string path = files.file("mine.bird");
  testsupport::WriteFile(path, HolvexBird(500, 64 * 1024));
  ASSERT_GE(net.startLab({"modules", "--module", "serial=0000BEEF,model=17,port=9000,reboot-delay=0"}), 0)
      << net.error();
  ASSERT_GE(net.startLab({"server", "--catalogue", catalogue.path(), "--device", "0000BEEF:Holvex", "--host",
                          net.labAddress(), "--port", "8080"}),
            0)
      << net.error();
  std::string url = "http://" + net.labAddress() + ":8080/cgi/u";
  std::string entry = net.storeDir() + "/updater/0000BEEF/";

  auto update = UpdaterInBackground(net, logs, "first", {"-U", "-d", "0000BEEF", "-f", path});
  std::string holder = HolderText(entry + ".update.lock");
  EXPECT_TRUE(Has(holder, " (updater -U -d 0000BEEF -f " + path + ")")) << holder;

  RunResult download = net.runUpdater({"-G", "-d", "0000BEEF", "-u", url});
  EXPECT_EQ(download.exitCode, 0) << download.out << download.err;
  // The download did finish while the update was still running.
  EXPECT_EQ(update.wait_for(std::chrono::seconds(0)), std::future_status::timeout);

  RunResult second = net.runUpdater({"-U", "-d", "0000BEEF", "-f", path}, 60000);
  RunResult first = update.get();
  EXPECT_EQ(first.exitCode, 0) << first.out << first.err;
  EXPECT_EQ(second.exitCode, 0) << second.out << second.err;
  // The module's own lock is met first; it names the holder's user too.
  const size_t command = holder.find(" (");
  EXPECT_TRUE(Has(second.out, "Module 0000BEEF is being updated by " + holder.substr(0, command) + " of user root" +
                                  holder.substr(command) + "; waiting\n"))
      << second.out;

  std::string settings = testsupport::ReadFile(entry + ".settings");
  EXPECT_TRUE(Has(settings, "LATEST_DOWNLOAD=1234.bird\n")) << settings;
  EXPECT_TRUE(Has(settings, "LATEST_TRANSFER=" + path + "\n")) << settings;
}
