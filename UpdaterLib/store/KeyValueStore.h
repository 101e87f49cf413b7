// A small persistent dictionary kept in a text file of KEY=VALUE lines; it
// stamps its own creation and update times.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>

class KeyValueStore {
public:
  static const char* const DEFAULT_FILENAME;  // ".settings"
  static const char* const KEY_CREATED_TIME;  // "CREATED_TIME"
  static const char* const KEY_UPDATED_TIME;  // "UPDATED_TIME"

  // An empty store; with a path, loaded from (or created at) that path.
  explicit KeyValueStore(const char* path = nullptr);

  void Load(const char* path);
  void Save(const char* path = nullptr);
  // Writes only the keys added since the last load or save into the file as
  // it is now: the file is read again and the rest of it is kept, so another
  // process's entries written meanwhile survive. The caller holds whatever
  // lock keeps writers apart between that read and the write. This copy then
  // holds the file's entries too. `beforeWrite`, when given, sees the file's
  // entries with this run's changes applied and may add more (under that same lock).
  void SaveChanges(const std::function<void(KeyValueStore& current)>& beforeWrite = nullptr);

  // The stored value or null; never adds an entry.
  const char* operator[](const std::string& key) const;
  std::string GetString(const std::string& key, const char* defaultValue = nullptr) const;
  // These read through the map's inserting access: an absent key is created
  // with an empty value (without marking the store modified).
  int32_t GetInt(const std::string& key, int32_t defaultValue = 0);
  uint32_t GetHex(const std::string& key, uint32_t defaultValue = 0);
  bool GetBOOL(const std::string& key, bool defaultValue = false);
  double GetDouble(const std::string& key, double defaultValue = 0.0);

  bool Add(const std::string& key, int32_t value);
  bool Add(const std::string& key, double value);
  bool AddHex(const std::string& key, uint32_t value);
  bool Add(const std::string& key, const char* value);
  bool Add(const std::string& key, const std::string& value);
  bool Add(const KeyValueStore& other);
  bool Clear();

  // The ctime text of the current local time without its line feed.
  static std::string Timestamp();

  std::string filename;
  std::map<std::string, std::string> values;
  bool modified = false;
  // Keys given a value by Add since the last load or save.
  std::set<std::string> changed;
};
