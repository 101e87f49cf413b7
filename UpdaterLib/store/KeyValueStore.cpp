#include "store/KeyValueStore.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "store/AtomicFile.h"
#include "Log.h"
#include "aNumber.h"

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";
const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";

// Far longer than any line the store writes (a path is at most PATH_MAX); a
// longer line is skipped on its own, never the lines after it.
static const size_t kMaxLine = 64 * 1024;

KeyValueStore::KeyValueStore(const char* path) {
  if (path)
    Load(path);
}

std::string KeyValueStore::Timestamp() {
  time_t now = time(nullptr);
  char text[64] = "";
  if (!ctime_r(&now, text))
    return std::string();
  size_t length = strlen(text);
  if (length > 0 && text[length - 1] == '\n')
    text[length - 1] = '\0';
  return text;
}

static const char* sSkipSpace(const char* p) {
  while (*p && isspace(static_cast<unsigned char>(*p)))
    p++;
  return p;
}

static std::string sTrimmed(const char* begin, const char* end) {
  while (end > begin && isspace(static_cast<unsigned char>(end[-1])))
    end--;
  return std::string(begin, end);
}

// One line, at most one entry. Lines without "=" and lines with an empty key
// carry nothing usable and are ignored.
static void sParseLine(const char* line, std::map<std::string, std::string>& values) {
  if (strlen(line) < 3 || line[0] == '#')
    return;
  const char* key = sSkipSpace(line);
  const char* equals = strchr(key, '=');
  if (!equals)
    return;
  std::string name = sTrimmed(key, equals);
  if (name.empty())
    return;
  const char* value = sSkipSpace(equals + 1);
  values[name] = sTrimmed(value, value + strlen(value));
}

// Far more than the few keys the store writes; a settings file larger than
// this is not one (a stray device or a runaway writer) and is not read.
static const off_t kMaxFileBytes = 1024 * 1024;

// The file's contents when it is a regular file of a sensible size. A FIFO or
// a link to a device (/dev/zero) would block or never end.
static bool sReadSettingsFile(const char* path, std::string& text, int& error) {
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = errno;
    return false;
  }
  struct stat info;
  bool usable = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kMaxFileBytes;
  error = usable ? 0 : EINVAL;
  char buffer[8192];
  ssize_t got = 0;
  while (usable && (got = read(fd, buffer, sizeof(buffer))) != 0) {
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0 || text.size() + static_cast<size_t>(got) > static_cast<size_t>(kMaxFileBytes)) {
      error = got < 0 ? errno : EFBIG;
      usable = false;
      break;
    }
    text.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return usable;
}

// Splits the text into lines; a line longer than kMaxLine is skipped on its own.
static void sParseText(const std::string& text, std::map<std::string, std::string>& values) {
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    size_t next = end == std::string::npos ? text.size() : end + 1;
    if (next - at <= kMaxLine + 1)
      sParseLine(text.substr(at, next - at).c_str(), values);
    at = next;
  }
}

void KeyValueStore::Load(const char* path) {
  if (!path || !*path)
    return;
  std::string text;
  int error = 0;
  if (!sReadSettingsFile(path, text, error) && error == ENOENT) {
    std::string now = Timestamp();
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", path, error);
    Add(KEY_CREATED_TIME, now);
    Save(path);
    return;
  }
  if (error != 0)
    Log::log(DEBUG_Attributes, "Attibutes: Error - '%s' is not a readable settings file (%d); not read\n", path,
             error);
  filename = path;
  modified = false;
  changed.clear();
  sParseText(text, values);
}

// A line break inside a key or value (a file name given on the command line,
// say) would split the entry and could forge another key; it is written as a blank.
static std::string sOneLine(std::string text) {
  for (char& c : text)
    if (c == '\n' || c == '\r')
      c = ' ';
  return text;
}

void KeyValueStore::Save(const char* path) {
  if (path && *path) {
    filename = path;
  } else if (filename.empty()) {
    filename = DEFAULT_FILENAME;
    Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n", filename.c_str());
  }
  if (modified)
    values[KEY_UPDATED_TIME] = Timestamp();
  std::string text;
  for (const auto& entry : values)
    text += sOneLine(entry.first) + "=" + sOneLine(entry.second) + "\n";
  // Written beside the old file and renamed over it, so a failed write never
  // costs the module's recorded history.
  int error = 0;
  ReplaceResult result = ReplaceFileContents(filename, text.data(), text.size(), &error);
  if (result == ReplaceResult::CannotCreate) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
             filename.c_str(), error);
    return;
  }
  if (result != ReplaceResult::Ok) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot write attributes file: '%s' (%d)\n", filename.c_str(),
             error);
    return;
  }
  modified = false;
  changed.clear();
}

void KeyValueStore::SaveChanges(const std::function<void(KeyValueStore& current)>& beforeWrite) {
  if (filename.empty()) {
    if (beforeWrite)
      beforeWrite(*this);
    Save();
    return;
  }
  // A missing file is created by this load with its creation time, as a
  // first save would.
  KeyValueStore current(filename.c_str());
  for (const std::string& key : changed)
    current.Add(key, values[key]);
  if (beforeWrite)
    beforeWrite(current);
  // UPDATED_TIME moves only when the file's contents really change.
  current.Save();
  if (current.modified)
    return;  // not written: keep this run's changes for another try
  values = current.values;
  modified = false;
  changed.clear();
}

const char* KeyValueStore::operator[](const std::string& key) const {
  auto it = values.find(key);
  return it == values.end() ? nullptr : it->second.c_str();
}

std::string KeyValueStore::GetString(const std::string& key, const char* defaultValue) const {
  auto it = values.find(key);
  if (it != values.end())
    return it->second;
  return defaultValue ? defaultValue : "";
}

int32_t KeyValueStore::GetInt(const std::string& key, int32_t defaultValue) {
  const std::string& value = values[key];
  return value.empty() ? defaultValue : aNumber_LeadingI32(value.c_str(), 10);
}

uint32_t KeyValueStore::GetHex(const std::string& key, uint32_t defaultValue) {
  const std::string& value = values[key];
  return value.empty() ? defaultValue : aNumber_LeadingU32(value.c_str(), 16);
}

bool KeyValueStore::GetBOOL(const std::string& key, bool defaultValue) {
  const std::string& value = values[key];
  return value.empty() ? defaultValue : aNumber_LeadingI32(value.c_str(), 10) != 0;
}

double KeyValueStore::GetDouble(const std::string& key, double defaultValue) {
  const std::string& value = values[key];
  return value.empty() ? defaultValue : aNumber_LeadingDouble(value.c_str());
}

bool KeyValueStore::Add(const std::string& key, const std::string& value) {
  auto it = values.find(key);
  const std::string current = it == values.end() ? std::string() : it->second;
  if (current != value)
    modified = true;
  values[key] = value;
  changed.insert(key);
  return true;
}

bool KeyValueStore::Add(const std::string& key, const char* value) { return Add(key, std::string(value ? value : "")); }

bool KeyValueStore::Add(const std::string& key, int32_t value) { return Add(key, std::to_string(value)); }

bool KeyValueStore::Add(const std::string& key, double value) {
  char text[512];
  snprintf(text, sizeof(text), "%f", value);
  return Add(key, std::string(text));
}

bool KeyValueStore::AddHex(const std::string& key, uint32_t value) {
  char text[16];
  snprintf(text, sizeof(text), "0x%08X", value);
  return Add(key, std::string(text));
}

bool KeyValueStore::Add(const KeyValueStore& other) {
  for (const auto& entry : other.values) {
    values[entry.first] = entry.second;
    changed.insert(entry.first);
    modified = true;
  }
  return true;
}

bool KeyValueStore::Clear() {
  values.clear();
  modified = true;
  return true;
}
