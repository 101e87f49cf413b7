#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cctype>

#include "BirdTestHelpers.h"
#include "store/KeyValueStore.h"

using namespace birdtest;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const char* kOldStamp = "Mon Jan  1 00:00:00 2024";

// ctime layout: "Www Mmm dd hh:mm:ss yyyy", 24 characters.
bool IsTimestamp(const char* text) {
  const char* shape = "Aaa Aaa _9 99:99:99 9999";
  if (!text || strlen(text) != strlen(shape))
    return false;
  for (size_t i = 0; shape[i]; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    bool ok = (shape[i] == 'A' && isupper(c)) || (shape[i] == 'a' && islower(c)) ||
              (shape[i] == '9' && isdigit(c)) || (shape[i] == '_' && (c == ' ' || isdigit(c))) ||
              (!isalnum(static_cast<unsigned char>(shape[i])) && shape[i] != '_' && c == shape[i]);
    if (!ok)
      return false;
  }
  return true;
}

size_t EntryCount(const std::string& directory) {
  size_t count = 0;
  DIR* dir = opendir(directory.c_str());
  while (dir && readdir(dir))
    count++;
  if (dir)
    closedir(dir);
  return count - 2;  // "." and ".."
}

}  // namespace

TEST(KeyValueStore, MissingFileIsCreatedWithBothTimestamps) {
  TempDir dir;
  std::string path = dir.file(".settings");
  LogCapture log(DEBUG_Attributes);
  KeyValueStore store(path.c_str());
  EXPECT_TRUE(log.Contains("Attibutes: Error - cannot open attributes file: '" + path + "' (2)\n"));
  EXPECT_EQ(store.filename, path);
  EXPECT_FALSE(store.modified);
  ASSERT_EQ(store.values.size(), 2u);
  EXPECT_TRUE(IsTimestamp(store[KeyValueStore::KEY_CREATED_TIME]));
  EXPECT_TRUE(IsTimestamp(store[KeyValueStore::KEY_UPDATED_TIME]));
  EXPECT_TRUE(IsTimestamp(kOldStamp));
  EXPECT_FALSE(IsTimestamp("Mon Jan  1 00:00:00 24"));
  EXPECT_FALSE(IsTimestamp("mon Jan  1 00:00:00 2024"));
  std::string expected = std::string("CREATED_TIME=") + store["CREATED_TIME"] + "\nUPDATED_TIME=" +
                         store["UPDATED_TIME"] + "\n";
  EXPECT_EQ(ReadFile(path), expected);
  EXPECT_EQ(EntryCount(dir.path()), 1u);  // no temporary file left behind
}

TEST(KeyValueStore, ReadingRules) {
  TempDir dir;
  std::string path = dir.file("s");
  WriteFile(path,
            "  MODEL  =  x  \n#C=1\nA=\nEQ=b=c\n\tTAB\t=\tv w\t\n"
            "NOEQUALS\n= empty key\n   =\nDUP=1\nDUP=2\nCRLF=v\r\n #X=1\nab\nB");
  KeyValueStore store;
  store.Add("KEPT", "yes");
  store.Load(path.c_str());
  EXPECT_FALSE(store.modified);
  EXPECT_STREQ(store["MODEL"], "x");
  EXPECT_EQ(store["#C"], nullptr);
  ASSERT_NE(store["A"], nullptr);
  EXPECT_STREQ(store["A"], "");
  EXPECT_STREQ(store["EQ"], "b=c");
  EXPECT_STREQ(store["TAB"], "v w");
  EXPECT_STREQ(store["DUP"], "2");
  EXPECT_STREQ(store["CRLF"], "v");
  EXPECT_STREQ(store["#X"], "1");  // only a "#" in the very first column comments
  EXPECT_EQ(store["B"], nullptr);   // too short: one character, no line end
  EXPECT_EQ(store["NOEQUALS"], nullptr);
  EXPECT_EQ(store[""], nullptr);
  EXPECT_STREQ(store["KEPT"], "yes");  // entries the file does not mention stay
  EXPECT_EQ(store.values.size(), 8u);

  // Every line the store writes reads back (a path of thousands of characters
  // included), and a line too long to take costs only itself.
  KeyValueStore written;
  written.Add("AFTER", "kept");
  written.Add("LATEST_TRANSFER", "/" + std::string(4090, 'p'));
  written.Save(path.c_str());
  KeyValueStore read(path.c_str());
  EXPECT_EQ(read.GetString("LATEST_TRANSFER", ""), "/" + std::string(4090, 'p'));
  EXPECT_STREQ(read["AFTER"], "kept");
  WriteFile(path, "FIRST=1\nHUGE=" + std::string(100 * 1024, 'h') + "\nLAST=3\n");
  KeyValueStore skipped(path.c_str());
  EXPECT_STREQ(skipped["FIRST"], "1");
  EXPECT_EQ(skipped["HUGE"], nullptr);
  EXPECT_STREQ(skipped["LAST"], "3");
  // ... and a long last line without a line end is whole.
  WriteFile(path, "K=" + std::string(2045, 'v'));
  KeyValueStore exact(path.c_str());
  ASSERT_NE(exact["K"], nullptr);
  EXPECT_EQ(strlen(exact["K"]), 2045u);
}

TEST(KeyValueStore, SaveWritesKeysInByteOrderAndStampsOnlyChanges) {
  TempDir dir;
  std::string path = dir.file("s");
  WriteFile(path, std::string("UPDATED_TIME=") + kOldStamp + "\nLATEST_DOWNLOAD=1234.bird\n");
  KeyValueStore store(path.c_str());
  EXPECT_EQ(store.GetInt("LATEST_DOWNLOAD", 0), 1234);

  // Same value again: nothing changed, the stamp stays.
  EXPECT_TRUE(store.Add("LATEST_DOWNLOAD", "1234.bird"));
  EXPECT_FALSE(store.modified);
  store.Save();
  EXPECT_STREQ(store["UPDATED_TIME"], kOldStamp);

  // Reading absent keys creates them empty without marking a change.
  EXPECT_EQ(store.GetInt("LATEST_TRANSFER", 7), 7);
  EXPECT_EQ(store.GetHex("HEX", 0x10u), 0x10u);
  EXPECT_TRUE(store.GetBOOL("FLAG", true));
  EXPECT_DOUBLE_EQ(store.GetDouble("RATIO", 2.5), 2.5);
  EXPECT_EQ(store.GetString("NEVER", "dflt"), "dflt");
  EXPECT_EQ(store.GetString("NEVER", nullptr), "");
  EXPECT_EQ(store["NEVER"], nullptr);
  EXPECT_FALSE(store.modified);
  store.Save();
  EXPECT_EQ(ReadFile(path), std::string("FLAG=\nHEX=\nLATEST_DOWNLOAD=1234.bird\nLATEST_TRANSFER=\nRATIO=\n") +
                                "UPDATED_TIME=" + kOldStamp + "\n");

  EXPECT_TRUE(store.Add("LAST_DOWNLOAD_DATE", "Tue Dec  8 01:00:00 2026"));
  EXPECT_TRUE(store.modified);
  store.Save();
  EXPECT_FALSE(store.modified);
  std::string text = ReadFile(path);
  size_t date = text.find("LAST_DOWNLOAD_DATE=");
  size_t latest = text.find("LATEST_DOWNLOAD=");
  size_t updated = text.find("UPDATED_TIME=");
  EXPECT_LT(date, latest);
  EXPECT_LT(latest, updated);
  EXPECT_STRNE(store["UPDATED_TIME"], kOldStamp);
  EXPECT_TRUE(IsTimestamp(store["UPDATED_TIME"]));
  KeyValueStore reread(path.c_str());
  EXPECT_EQ(reread.values, store.values);

  // A line break in a value cannot forge another entry.
  store.Add("LATEST_TRANSFER", "a.bird\nLATEST_DOWNLOAD=666.bird");
  store.Save();
  KeyValueStore forged(path.c_str());
  EXPECT_STREQ(forged["LATEST_DOWNLOAD"], "1234.bird");
  EXPECT_STREQ(forged["LATEST_TRANSFER"], "a.bird LATEST_DOWNLOAD=666.bird");
}

TEST(KeyValueStore, TypedValuesAndModifiedFlag) {
  KeyValueStore store;
  EXPECT_TRUE(store.AddHex("H", 255));
  EXPECT_STREQ(store["H"], "0x000000FF");
  EXPECT_EQ(store.GetHex("H", 0), 255u);
  store.Add("I", -42);
  EXPECT_STREQ(store["I"], "-42");
  EXPECT_EQ(store.GetInt("I", 0), -42);
  store.Add("D", 1.5);
  EXPECT_STREQ(store["D"], "1.500000");
  EXPECT_DOUBLE_EQ(store.GetDouble("D", 0), 1.5);
  store.Add("T", std::string("1"));
  store.Add("F", "0");
  EXPECT_TRUE(store.GetBOOL("T", false));
  EXPECT_FALSE(store.GetBOOL("F", true));
  store.Add("BIG", "99999999999");
  EXPECT_EQ(store.GetInt("BIG", 0), INT32_MAX);

  // Hand-edited values read as far as they are a number, as atoi and strtol
  // read them; text that is no number at all reads as 0, not as the default.
  const std::pair<const char*, int32_t> ints[] = {{"1310.bird", 1310}, {"  +7x", 7},     {"-99999999999", INT32_MIN},
                                                  {"abc", 0},          {"- 5", 0},        {"0012", 12},
                                                  {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN}};
  for (const auto& c : ints) {
    store.Add("X", std::string(c.first));
    EXPECT_EQ(store.GetInt("X", 5), c.second) << c.first;
  }
  const std::pair<const char*, uint32_t> hexes[] = {{"0xff", 0xFFu},        {"DEADbeef!", 0xDEADBEEFu}, {"-1", 0xFFFFFFFFu},
                                                    {"123456789", 0xFFFFFFFFu}, {"0x", 0u},             {"zz", 0u}};
  for (const auto& c : hexes) {
    store.Add("X", std::string(c.first));
    EXPECT_EQ(store.GetHex("X", 5), c.second) << c.first;
  }

  KeyValueStore fresh;
  EXPECT_TRUE(fresh.Add("EMPTY", ""));
  EXPECT_FALSE(fresh.modified);  // an empty value equals an absent one
  EXPECT_STREQ(fresh["EMPTY"], "");
  EXPECT_TRUE(fresh.Add(KeyValueStore()));
  EXPECT_FALSE(fresh.modified);
  EXPECT_TRUE(fresh.Add(store));
  EXPECT_TRUE(fresh.modified);
  EXPECT_STREQ(fresh["H"], "0x000000FF");
  EXPECT_EQ(fresh.values.size(), store.values.size() + 1);

  KeyValueStore copy(fresh);
  copy.Add("H", "other");
  EXPECT_STREQ(fresh["H"], "0x000000FF");
  copy = fresh;
  EXPECT_EQ(copy.values, fresh.values);
  copy.modified = false;
  EXPECT_TRUE(copy.Clear());
  EXPECT_TRUE(copy.modified);
  EXPECT_TRUE(copy.values.empty());
}

TEST(KeyValueStore, SaveWithoutNameUsesDefaultInWorkingDirectory) {
  TempDir dir;
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof(previous)), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  LogCapture log(DEBUG_Attributes);
  KeyValueStore store;
  store.Add("K", "v");
  store.Save();
  EXPECT_EQ(chdir(previous), 0);
  EXPECT_TRUE(log.Contains("Attibutes: no filename given for attributes, using default:[.settings]\n"));
  EXPECT_EQ(store.filename, ".settings");
  std::string text = ReadFile(dir.file(".settings"));
  EXPECT_EQ(text.substr(0, 4), "K=v\n");
  EXPECT_NE(text.find("UPDATED_TIME="), std::string::npos);
}

TEST(KeyValueStore, FailedSaveKeepsThePreviousFile) {
  TempDir dir;
  std::string path = dir.file(".settings");
  KeyValueStore store(path.c_str());
  store.Add("LATEST_TRANSFER", "100.bird");
  store.Save();
  const std::string before = ReadFile(path);
  ASSERT_NE(before.find("LATEST_TRANSFER=100.bird"), std::string::npos);

  store.Add("LATEST_TRANSFER", "200.bird");
  store.Add("PADDING", std::string(4000, 'p'));
  {
    FileSizeLimit limit(1024);
    store.Save();
  }
  EXPECT_TRUE(store.modified);  // the change is still unsaved
  EXPECT_EQ(ReadFile(path), before);
  EXPECT_EQ(EntryCount(dir.path()), 1u);

  // A directory that does not exist: nothing written, still modified.
  KeyValueStore lost;
  lost.Add("K", "v");
  LogCapture log(DEBUG_Attributes);
  lost.Save(dir.file("missing/.settings").c_str());
  EXPECT_TRUE(lost.modified);
  EXPECT_TRUE(log.Contains("Attibutes: Error - cannot open attributes file for writting: '" +
                           dir.file("missing/.settings") + "' (2)\n"));

  store.Save();
  EXPECT_FALSE(store.modified);
  EXPECT_NE(ReadFile(path).find("LATEST_TRANSFER=200.bird"), std::string::npos);
}

// Two runs that loaded the same file each record their own keys: neither
// undoes the other, an old file keeps its unknown keys and layout, and a value
// already on disk does not move UPDATED_TIME.
TEST(KeyValueStore, SaveChangesMergesIntoTheFileAsItIsNow) {
  TempDir dir;
  std::string path = dir.file(".settings");
  WriteFile(path, std::string("CREATED_TIME=") + kOldStamp + "\nMODEL = Holvex \nUPDATED_TIME=" + kOldStamp + "\n");
  KeyValueStore download(path.c_str()), transfer(path.c_str());

  download.Add("LATEST_DOWNLOAD", "18.bird");
  download.SaveChanges();
  EXPECT_TRUE(download.changed.empty());
  transfer.Add("LATEST_TRANSFER", "17.bird");
  transfer.SaveChanges();
  std::string text = ReadFile(path);
  EXPECT_EQ(text.find(std::string("CREATED_TIME=") + kOldStamp + "\nLATEST_DOWNLOAD=18.bird\n"
                      "LATEST_TRANSFER=17.bird\nMODEL=Holvex\nUPDATED_TIME="), 0u) << text;
  EXPECT_EQ(text.find(kOldStamp, 30), std::string::npos) << "UPDATED_TIME not stamped";
  // The saving copy now also holds what the other run wrote.
  EXPECT_STREQ(transfer["LATEST_DOWNLOAD"], "18.bird");

  // The same value again changes nothing on disk, not even the stamp; a key
  // this run set wins over the file's value, and keys only read stay out.
  WriteFile(path, std::string("LATEST_DOWNLOAD=18.bird\nLATEST_TRANSFER=16.bird\nUPDATED_TIME=") + kOldStamp + "\n");
  download.GetInt("LAST_TRANSFER_VERSION", 0);
  download.Add("LATEST_DOWNLOAD", "18.bird");
  download.SaveChanges();
  EXPECT_EQ(ReadFile(path), std::string("LATEST_DOWNLOAD=18.bird\nLATEST_TRANSFER=16.bird\nUPDATED_TIME=") +
                                kOldStamp + "\n");
  transfer.Add("LATEST_TRANSFER", "17.bird");
  transfer.SaveChanges();
  EXPECT_NE(ReadFile(path).find("LATEST_TRANSFER=17.bird\n"), std::string::npos);

  // A file removed meanwhile comes back with both stamps and the change.
  unlink(path.c_str());
  download.Add("LATEST_DOWNLOAD", "19.bird");
  download.SaveChanges();
  KeyValueStore reread(path.c_str());
  EXPECT_TRUE(IsTimestamp(reread["CREATED_TIME"]));
  EXPECT_STREQ(reread["LATEST_DOWNLOAD"], "19.bird");
  EXPECT_EQ(reread["LATEST_TRANSFER"], nullptr);
}
