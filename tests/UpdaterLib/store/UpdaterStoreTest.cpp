#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <stdexcept>

#include "BirdTestHelpers.h"
#include "Interrupt.h"
#include "store/AtomicFile.h"
#include "store/StoreLock.h"
#include "store/UpdaterStore.h"
#include "aDirectory.h"

using namespace birdtest;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

bool IsFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string ThrownText(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

Bytes ValidBird(uint32_t build) {
  return birdwriter::EncodeFile({birdwriter::InfoBlock(build, "1.0.0", 0, "Holvex"),
                                 birdwriter::AddressedBlock(birdwriter::kFirmware, 0x1000,
                                                            birdwriter::RandomBytes(512, build))});
}

// A Ctrl-C recorded the way the program's handlers record it, for the scope.
struct RequestedInterrupt {
  RequestedInterrupt() {
    Interrupt::Install();
    std::raise(SIGINT);
  }
  ~RequestedInterrupt() {
    Interrupt::Clear();
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
  }
};

std::vector<std::string> Names(const std::string& directory) {
  std::vector<std::string> names;
  aDirectory_List(
      directory.c_str(),
      [](const aDirectoryListData* data, void* user) {
        std::string path = data->path;
        static_cast<std::vector<std::string>*>(user)->push_back(path.substr(path.rfind('/') + 1));
        return true;
      },
      &names);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST(UpdaterStore, AddDeviceCreatesPaddedDirectoryWithSettings) {
  TempDir home;
  std::string base = home.file(".tessoral/updater");
  LogCapture log(DEBUG_Updater);
  UpdaterStore store(base);
  EXPECT_TRUE(log.Contains("UpdaterStore: Created directory [" + base + "].\n"));
  UpdaterStore existing(base);
  EXPECT_TRUE(log.Contains("UpdaterStore: [" + base + "] already exists.\n"));
  EXPECT_TRUE(aDirectory_Exists(base.c_str()));
  EXPECT_STREQ(store.BasePath(), base.c_str());

  UpdaterStoreItem item = store.AddDevice(0xABCu);
  EXPECT_EQ(item.basePath, base);
  EXPECT_EQ(item.name, "00000ABC");
  EXPECT_EQ(item.type, STORE_ITEM_DIRECTORY);
  EXPECT_TRUE(item.IsValid());
  std::string settings = ReadFile(base + "/00000ABC/.settings");
  EXPECT_EQ(settings.find("CREATED_TIME="), 0u);
  EXPECT_NE(settings.find("\nUPDATED_TIME="), std::string::npos);
  EXPECT_NE(item.settings["CREATED_TIME"], nullptr);

  // Adding again keeps the recorded history.
  item.settings.Add("LATEST_DOWNLOAD", "5.bird");
  item.settings.Save();
  UpdaterStoreItem again = store.AddDevice(0xABCu);
  EXPECT_STREQ(again.settings["LATEST_DOWNLOAD"], "5.bird");

  UpdaterStoreItem empty;
  EXPECT_FALSE(empty.IsValid());
  EXPECT_EQ(empty.type, STORE_ITEM_NONE);
  EXPECT_TRUE(empty.settings.values.empty());
  EXPECT_TRUE(empty.settings.filename.empty());
}

TEST(UpdaterStore, UnusableDirectoriesThrowWithTheirPath) {
  TempDir home;
  testsupport::WriteFile(home.file("plain"), "x");
  EXPECT_EQ(ThrownText([&] { UpdaterStore s(home.file("plain")); }),
            "UpdaterStore: " + home.file("plain") + " exists and is a file");
  EXPECT_EQ(ThrownText([&] { UpdaterStore s(home.file("plain/updater")); }),
            "UpdaterStore: Could not create directory " + home.file("plain/updater") + " error 12");

  UpdaterStore store(home.file("updater"));
  testsupport::WriteFile(home.file("updater/0000BEEF"), "x");
  EXPECT_EQ(ThrownText([&] { store.AddDevice(0xBEEFu); }),
            "UpdaterStore: " + home.file("updater/0000BEEF") + " exists and is a file");
  EXPECT_THROW(store.AddDevice(".."), std::runtime_error);
  EXPECT_THROW(store.AddDevice("a/b"), std::runtime_error);
  EXPECT_THROW(store.AddDevice(""), std::runtime_error);
  EXPECT_FALSE(aDirectory_Exists(home.file("updater/a").c_str()));
}

TEST(UpdaterStore, FindDeviceMatchesWholeNamesOnly) {
  TempDir home;
  // The store's own path contains the serial text; that must not count.
  std::string base = home.file("store-0000ABCD");
  UpdaterStore store(base);
  ASSERT_EQ(aDirectory_Ensure((base + "/0000ABCD0").c_str(), 0755), aErrNone);
  LogCapture log(DEBUG_Updater);
  UpdaterStoreItem item("keep", "me", STORE_ITEM_FILE);
  EXPECT_FALSE(store.FindDevice(0xABCDu, &item));
  EXPECT_EQ(item.basePath, "keep");
  EXPECT_EQ(item.name, "me");
  EXPECT_TRUE(log.Contains("UpdaterStore: FindDevice Not Found 0000ABCD.\n"));
  EXPECT_TRUE(log.Contains("_find_item([" + base + "/0000ABCD0], 1, "));

  // A module directory without settings is found; a look writes nothing into
  // it, the settings file comes with the first record.
  ASSERT_EQ(aDirectory_Ensure((base + "/0000ABCD").c_str(), 0755), aErrNone);
  EXPECT_TRUE(store.FindDevice(0xABCDu, nullptr));
  EXPECT_FALSE(IsFile(base + "/0000ABCD/.settings"));  // no item, nothing loaded
  EXPECT_TRUE(store.FindDevice("0000ABCD", &item));
  EXPECT_TRUE(log.Contains("UpdaterStore: FindDevice Found 0000ABCD.\n"));
  EXPECT_EQ(item.basePath, base);
  EXPECT_EQ(item.name, "0000ABCD");
  EXPECT_EQ(item.type, STORE_ITEM_DIRECTORY);
  EXPECT_FALSE(IsFile(base + "/0000ABCD/.settings"));
  EXPECT_NE(item.settings["CREATED_TIME"], nullptr);
  item.settings.Add("LATEST_DOWNLOAD", "5.bird");
  EXPECT_TRUE(item.SaveSettings());
  EXPECT_EQ(KeyValueStore((base + "/0000ABCD/.settings").c_str()).GetString("CREATED_TIME"),
            item.settings.GetString("CREATED_TIME"));
}

TEST(UpdaterStore, LocalBuildsAndFileExists) {
  TempDir home;
  UpdaterStore store(home.path());
  UpdaterStoreItem device = store.AddDevice(0x42u);
  std::string dir = device.Path();
  const uint8_t one[] = {1};
  EXPECT_EQ(device.WriteFile("12.bird", one, 1), aErrNone);
  EXPECT_EQ(device.WriteFile("1123.bird", one, 1), aErrNone);
  testsupport::WriteFile(dir + "/.hidden", "h");
  ASSERT_EQ(aDirectory_Ensure((dir + "/sub").c_str(), 0755), aErrNone);

  std::vector<UpdaterStoreItem> builds;
  EXPECT_TRUE(store.FindLocalBuilds(0x42u, builds));
  std::sort(builds.begin(), builds.end(),
            [](const UpdaterStoreItem& a, const UpdaterStoreItem& b) { return a.name < b.name; });
  ASSERT_EQ(builds.size(), 3u);
  EXPECT_EQ(builds[0].name, "1123.bird");
  EXPECT_EQ(builds[1].name, "12.bird");
  EXPECT_EQ(builds[1].type, STORE_ITEM_FILE);
  EXPECT_EQ(builds[1].basePath, dir);
  EXPECT_EQ(builds[2].name, "sub");
  EXPECT_EQ(builds[2].type, STORE_ITEM_DIRECTORY);
  EXPECT_FALSE(IsFile(dir + "/12.bird/.settings"));
  EXPECT_EQ(ReadFile(dir + "/12.bird"), "\x01");  // listing never writes into files

  std::vector<UpdaterStoreItem> none;
  EXPECT_TRUE(store.FindLocalBuilds(0x43u, none));
  EXPECT_TRUE(none.empty());

  EXPECT_TRUE(device.FileExists("12.bird"));
  EXPECT_TRUE(device.FileExists(".settings"));
  EXPECT_FALSE(device.FileExists("123.bird"));
  EXPECT_FALSE(device.FileExists("2.bird"));  // a part of a name is no match
  EXPECT_FALSE(device.FileExists(""));
}

TEST(UpdaterStore, WriteFileReplacesOnlyWhenComplete) {
  TempDir home;
  UpdaterStore store(home.path());
  UpdaterStoreItem device = store.AddDevice(0x7u);
  std::string path = device.Path() + "/9.bird";
  EXPECT_EQ(device.WriteFile("9.bird", nullptr, 10), aErrNotFound);
  EXPECT_FALSE(IsFile(path));

  const Bytes good = ValidBird(9);
  EXPECT_EQ(device.WriteFile("9.bird", good.data(), good.size()), aErrNone);
  EXPECT_EQ(ReadFile(path), std::string(good.begin(), good.end()));

  // A write that fails part way (the file size limit stands in for a full
  // disk) reports an error and leaves the stored file as it was.
  const Bytes bigger = birdwriter::RandomBytes(good.size() + 8192, 5);
  {
    FileSizeLimit limit(good.size() + 100);
    EXPECT_EQ(device.WriteFile("9.bird", bigger.data(), bigger.size()), aErrIO);
  }
  EXPECT_EQ(ReadFile(path), std::string(good.begin(), good.end()));
  EXPECT_EQ(device.ReadBirdFile("9.bird").GetBuild(), 9u);
  std::vector<UpdaterStoreItem> entries;
  store.FindLocalBuilds(0x7u, entries);
  EXPECT_EQ(entries.size(), 1u);  // no temporary file left behind

  EXPECT_EQ(device.WriteFile("9.bird", bigger.data(), bigger.size()), aErrNone);
  EXPECT_EQ(ReadFile(path).size(), bigger.size());
  EXPECT_EQ(device.WriteFile("../escape", good.data(), good.size()), aErrParam);
  EXPECT_FALSE(IsFile(home.file("escape")));
  UpdaterStoreItem gone(home.path(), "missing", STORE_ITEM_DIRECTORY);
  EXPECT_EQ(gone.WriteFile("1.bird", good.data(), good.size()), aErrNotFound);
}

TEST(UpdaterStore, ReadBirdFileChecksHeaderThenLoads) {
  TempDir home;
  UpdaterStore store(home.path());
  UpdaterStoreItem device = store.AddDevice(0x99u);
  std::string dir = device.Path();
  const Bytes good = ValidBird(321);
  device.WriteFile("321.bird", good.data(), good.size());
  BirdFile loaded = device.ReadBirdFile("321.bird");
  EXPECT_EQ(loaded.GetBuild(), 321u);
  EXPECT_EQ(loaded.filename, dir + "/321.bird");

  Bytes notBird = good;
  notBird[0] = 'B';
  device.WriteFile("1.bird", notBird.data(), notBird.size());
  EXPECT_EQ(ThrownText([&] { device.ReadBirdFile("1.bird"); }),
            "Failed to load bird file " + dir + "/1.bird: not a BIRD file (it does not begin with \"bird\")");
  // A build never downloaded: the line names the command that fetches it.
  EXPECT_EQ(ThrownText([&] { device.ReadBirdFile("2.bird"); }),
            "Failed to load bird file: build 2 is not in the store; run: updater -G -d 00000099 -b 2");
  EXPECT_EQ(ThrownText([&] { device.ReadBirdFile("other"); }),
            "Failed to load bird file " + dir + "/other: No such file or directory");
  Bytes broken(good.begin(), good.begin() + 20);
  device.WriteFile("3.bird", broken.data(), broken.size());
  EXPECT_EQ(ThrownText([&] { device.ReadBirdFile("3.bird"); }).find("Failed to load bird file " + dir + "/3.bird: "),
            0u);
}

TEST(UpdaterStore, AnInterruptedWriteLeavesNothingAndLaterWritesSweepLeftovers) {
  TempDir home;
  UpdaterStore store(home.path());
  UpdaterStoreItem device = store.AddDevice(0x8u);
  const Bytes good = ValidBird(9);
  ASSERT_EQ(device.WriteFile("9.bird", good.data(), good.size()), aErrNone);
  const Bytes big = birdwriter::RandomBytes(3 * 1024 * 1024, 3);
  {
    RequestedInterrupt interrupt;
    EXPECT_EQ(device.WriteFile("9.bird", big.data(), big.size()), aErrCancel);
    // A small file (a settings file) is still written whole.
    EXPECT_EQ(ReplaceFileContents(device.Path() + "/small", good.data(), good.size()), ReplaceResult::Ok);
  }
  EXPECT_EQ(ReadFile(device.Path() + "/9.bird"), std::string(good.begin(), good.end()));
  EXPECT_EQ(Names(device.Path()), (std::vector<std::string>{".", "..", ".lock", ".settings", "9.bird", "small"}));

  // What a killed run left behind goes with the entry's next write made under
  // the entry's lock, and only the temporaries: a name that merely resembles
  // one stays. Without the lock a temporary may be another run's live write.
  testsupport::WriteFile(device.Path() + "/.partial-Ab12Cd", std::string(4096, 'x'));
  testsupport::WriteFile(device.Path() + "/.partial-Zz99Yy", "y");
  testsupport::WriteFile(device.Path() + "/keep.partial-1", "z");
  ASSERT_EQ(device.WriteFile("10.bird", good.data(), good.size()), aErrNone);
  EXPECT_EQ(Names(device.Path()).size(), 10u);
  StoreLock entry = StoreLock::ForEntry(device.Path(), nullptr);
  ASSERT_TRUE(entry.Held());
  ASSERT_EQ(device.WriteFile("10.bird", good.data(), good.size()), aErrNone);
  EXPECT_EQ(Names(device.Path()), (std::vector<std::string>{".", "..", ".lock", ".settings", "10.bird", "9.bird",
                                                             "keep.partial-1", "small"}));
}
