// The module's history in its settings file: older files, the ring's bound,
// and two runs recording into one entry.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "store/ModuleHistory.h"
#include "store/UpdaterStore.h"

using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

const uint32_t kChip[4] = {0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978};

std::vector<HistoryEvent> History(const std::string& store, uint32_t serial) {
  UpdaterStoreItem item;
  EXPECT_TRUE(UpdaterStore(store).FindDevice(serial, &item));
  return ModuleHistory::Read(item.settings);
}

}  // namespace

// A settings file an older updater wrote loads unchanged; recording keeps its keys, keeps
// writing the latest-transfer keys, and adds the history beside them.
TEST(ModuleHistory, OlderSettingsFileKeepsItsKeysAndGainsTheHistory) {
  TempDir home;
  const std::string store = home.file("updater");
  UpdaterStore(store).AddDevice(0xFA11);
  const std::string old = "CREATED_TIME=Wed Dec  9 15:57:42 2026\nLAST_DOWNLOAD_DATE=Wed Dec  9 15:57:42 2026\n"
                          "LATEST_DOWNLOAD=2100.bird\nSOMETHING_ELSE=kept\nUPDATED_TIME=Wed Dec  9 15:57:42 2026\n";
  testsupport::WriteFile(store + "/0000FA11/.settings", old);
  EXPECT_TRUE(History(store, 0xFA11).empty());

  ASSERT_TRUE(ModuleHistory::Record(store, 0xFA11,
                                    HistoryEvent::Recovery(true, kChip, 2100, store + "/0000FA11/2100.bird", true),
                                    nullptr));
  UpdaterStoreItem item;
  ASSERT_TRUE(UpdaterStore(store).FindDevice(0xFA11, &item));
  EXPECT_EQ(item.settings.GetString("LATEST_DOWNLOAD"), "2100.bird");
  EXPECT_EQ(item.settings.GetString("SOMETHING_ELSE"), "kept");
  EXPECT_EQ(item.settings.GetString("CREATED_TIME"), "Wed Dec  9 15:57:42 2026");
  // The recovery wrote the module: the older readers see it as its latest transfer, by build.
  EXPECT_EQ(item.settings.GetString(UpdaterStoreItem::KEY_LATEST_TRANSFER), "2100.bird");
  EXPECT_EQ(item.settings.GetInt(UpdaterStoreItem::KEY_LATEST_TRANSFER), 2100);
  EXPECT_FALSE(item.settings.GetString(UpdaterStoreItem::KEY_LAST_TRANSFER_DATE).empty());

  std::vector<HistoryEvent> events = ModuleHistory::Read(item.settings);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, HistoryEvent::Kind::Recovery);
  EXPECT_EQ(events[0].chip, "LPC");
  EXPECT_EQ(events[0].fingerprint, "12345678 9ABCDEF0 0F1E2D3C 4B5A6978");
  EXPECT_EQ(events[0].build, 2100u);
  EXPECT_EQ(events[0].file, "2100.bird");  // in the module's own directory: by its name
  EXPECT_EQ(events[0].check, HistoryEvent::kFlashReadBack);
  EXPECT_EQ(events[0].date.size(), 24u) << events[0].date;

  // The chip's read without a module known goes to the chips' entry, not to the loader's.
  ASSERT_TRUE(ModuleHistory::Record(store, ModuleHistory::kLoaderSerial, HistoryEvent::FingerprintRead(false, kChip),
                                    nullptr));
  EXPECT_FALSE(UpdaterStore(store).FindDevice(ModuleHistory::kLoaderSerial, nullptr));
  UpdaterStoreItem chips;
  ASSERT_TRUE(UpdaterStore(store).FindDevice(ModuleHistory::kChipsEntry, &chips));
  ASSERT_EQ(ModuleHistory::Read(chips.settings).size(), 1u);
  EXPECT_EQ(ModuleHistory::Read(chips.settings)[0].chip, "i.MX");
}

// The ring keeps the newest events in order however many come; a value with the
// separators in it reads back as written; what a later updater records is passed over.
TEST(ModuleHistory, RingKeepsTheNewestEventsAndValuesReadBackWhole) {
  TempDir home;
  const std::string store = home.file("updater");
  const std::string odd = "/tmp/a;b%25c\nd.bird";
  for (uint32_t build = 1; build <= ModuleHistory::kSlots + 6; build++)
    ASSERT_TRUE(ModuleHistory::Record(store, 0xBEEF, HistoryEvent::Transfer(build, build == 70 ? odd : "x.bird"),
                                      nullptr));
  std::vector<HistoryEvent> events = History(store, 0xBEEF);
  ASSERT_EQ(events.size(), ModuleHistory::kSlots);
  for (size_t i = 0; i < events.size(); i++)
    EXPECT_EQ(events[i].build, 7 + i);
  EXPECT_EQ(events.back().file, odd);
  const std::string file = ReadFile(store + "/0000BEEF/.settings");
  EXPECT_NE(file.find("HISTORY_NEXT=70\n"), std::string::npos) << file;
  EXPECT_EQ(file.find("HISTORY_64"), std::string::npos) << file;

  // A kind this updater does not know, and an unknown field, from a later one.
  KeyValueStore later((store + "/0000BEEF/.settings").c_str());
  later.Add("HISTORY_06", "70;2030-01-01T00:00:00.000Z;teleport;build=1");
  later.Add("HISTORY_05", "69;2030-01-01T00:00:00.000Z;download;build=9;colour=blue");
  events = ModuleHistory::Read(later);
  EXPECT_EQ(events.size(), ModuleHistory::kSlots - 1);
  EXPECT_EQ(events.back().kind, HistoryEvent::Kind::Download);
  EXPECT_EQ(events.back().build, 9u);
}

// Two runs that loaded the entry before either recorded both keep their event: the slot
// is chosen from the file as it is under the lock, not from what a run loaded earlier.
TEST(ModuleHistory, TwoRunsRecordingIntoOneEntryKeepBothEvents) {
  TempDir home;
  const std::string store = home.file("updater");
  UpdaterStoreItem first = UpdaterStore(store).AddDevice(0xCAFE);
  UpdaterStoreItem second = UpdaterStore(store).AddDevice(0xCAFE);
  first.settings.Add(UpdaterStoreItem::KEY_LATEST_DOWNLOAD, "1.bird");
  first.AddEvent(HistoryEvent::Download(1, "1.bird"));
  second.AddEvent(HistoryEvent::Verified(2));
  ASSERT_TRUE(first.SaveSettings());
  ASSERT_TRUE(second.SaveSettings());
  EXPECT_TRUE(second.events.empty());
  std::vector<HistoryEvent> events = History(store, 0xCAFE);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, HistoryEvent::Kind::Download);
  EXPECT_EQ(events[1].kind, HistoryEvent::Kind::Verified);
  EXPECT_EQ(events[1].sequence, 1u);
}
